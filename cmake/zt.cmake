# zt_library(NAME PORTABLE src... WINDOWS src... POSIX src... LIBS lib...
#            WINDOWS_LIBS lib... POSIX_LIBS lib...)
#   A static library of one subsystem folder. PORTABLE sources build in both
#   builds, WINDOWS sources and libraries only in the Windows build, POSIX
#   sources only in the host build. Sources include each other from the
#   tree's root ("file/pathutil.h"), which every user of the library gets.
function(zt_library name)
  cmake_parse_arguments(A "" "" "PORTABLE;WINDOWS;POSIX;LIBS;WINDOWS_LIBS;POSIX_LIBS" ${ARGN})
  set(srcs ${A_PORTABLE})
  if(ZT_WINDOWS)
    list(APPEND srcs ${A_WINDOWS})
  else()
    list(APPEND srcs ${A_POSIX})
  endif()
  add_library(${name} STATIC ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(A_LIBS)
    target_link_libraries(${name} PUBLIC ${A_LIBS})
  endif()
  if(ZT_WINDOWS AND A_WINDOWS_LIBS)
    target_link_libraries(${name} PUBLIC ${A_WINDOWS_LIBS})
  elseif(NOT ZT_WINDOWS AND A_POSIX_LIBS)
    target_link_libraries(${name} PUBLIC ${A_POSIX_LIBS})
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

# zt_versioned_program(NAME EXE|DLL SOURCES src... [VERSION a.b.c.d]
#                      [DESCRIPTION text] [RC file])
#   A small Windows test program or DLL that carries a version resource: made
#   from cmake/versioned.rc.in with VERSION (four numbers), or the given RC
#   file as it is; without either, no resource. DLLs keep their plain name
#   (no "lib" prefix). Windows build only.
function(zt_versioned_program name kind)
  cmake_parse_arguments(A "" "VERSION;DESCRIPTION;RC" "SOURCES" ${ARGN})
  enable_language(RC)
  set(srcs ${A_SOURCES})
  if(A_RC)
    list(APPEND srcs ${A_RC})
  elseif(A_VERSION)
    string(REPLACE "." "," ZT_VERSION_COMMAS ${A_VERSION})
    set(ZT_VERSION_DOTS ${A_VERSION})
    set(ZT_DESCRIPTION "${A_DESCRIPTION}")
    if(kind STREQUAL "DLL")
      set(ZT_FILETYPE VFT_DLL)
    else()
      set(ZT_FILETYPE VFT_APP)
    endif()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/versioned.rc.in ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc @ONLY)
    list(APPEND srcs ${CMAKE_CURRENT_BINARY_DIR}/${name}.rc)
  endif()
  if(kind STREQUAL "DLL")
    add_library(${name} SHARED ${srcs})
    set_target_properties(${name} PROPERTIES PREFIX "")
  else()
    add_executable(${name} ${srcs})
  endif()
endfunction()
