# zt_library(NAME PORTABLE src... WINDOWS src... POSIX src... LIBS lib...)
#   A static library of one subsystem folder. PORTABLE sources build in both
#   builds, WINDOWS sources only in the Windows build, POSIX sources only in
#   the host build.
function(zt_library name)
  cmake_parse_arguments(A "" "" "PORTABLE;WINDOWS;POSIX;LIBS" ${ARGN})
  set(srcs ${A_PORTABLE})
  if(ZT_WINDOWS)
    list(APPEND srcs ${A_WINDOWS})
  else()
    list(APPEND srcs ${A_POSIX})
  endif()
  add_library(${name} STATIC ${srcs})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
endfunction()

# zt_test(NAME src... LIBS lib... [WINDOWS_ONLY])
#   One GoogleTest program, registered as one ctest test. In the Windows
#   build ctest runs it through Wine (CMAKE_CROSSCOMPILING_EMULATOR).
#   tests/common/test_main.cpp creates the private heap and the log hooks.
function(zt_test name)
  cmake_parse_arguments(A "WINDOWS_ONLY" "" "LIBS" ${ARGN})
  if(A_WINDOWS_ONLY AND NOT ZT_WINDOWS)
    return()
  endif()
  add_executable(${name} ${A_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE zt_testmain ${A_LIBS} zt_gtest)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600)
endfunction()
