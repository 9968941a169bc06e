# Third-party libraries. The Windows build links static copies: zlib from
# Debian's mingw package, libjpeg-turbo, libpng, libwebp and libsodium cross-built by
# scripts/setup.sh into build/deps/prefix. The host build uses the system's.
if(ZT_WINDOWS)
  set(ZT_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/build/deps/${ZT_MINGW_ARCH}" CACHE PATH "cross-built dependencies")
  set(ZT_MINGW_ROOT /usr/${ZT_MINGW_ARCH}-w64-mingw32)
  function(zt_import name lib inc)
    add_library(${name} STATIC IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${lib} INTERFACE_INCLUDE_DIRECTORIES ${inc})
  endfunction()
  zt_import(zt_dep_zlib ${ZT_MINGW_ROOT}/lib/libz.a ${ZT_MINGW_ROOT}/include)
  zt_import(zt_dep_jpeg ${ZT_DEPS_PREFIX}/lib/libjpeg.a ${ZT_DEPS_PREFIX}/include)
  zt_import(zt_dep_png ${ZT_DEPS_PREFIX}/lib/libpng16.a ${ZT_DEPS_PREFIX}/include)
  set_target_properties(zt_dep_png PROPERTIES INTERFACE_LINK_LIBRARIES zt_dep_zlib)
  zt_import(zt_dep_webp ${ZT_DEPS_PREFIX}/lib/libwebp.a ${ZT_DEPS_PREFIX}/include)
  # A static libsodium: its headers declare DLL imports unless told otherwise,
  # and its random generator calls advapi32.
  zt_import(zt_dep_sodium ${ZT_DEPS_PREFIX}/lib/libsodium.a ${ZT_DEPS_PREFIX}/include)
  set_target_properties(zt_dep_sodium PROPERTIES INTERFACE_COMPILE_DEFINITIONS SODIUM_STATIC=1
                                                 INTERFACE_LINK_LIBRARIES advapi32)
  # Everything the updater and the test programs need is linked in: no
  # runtime DLLs beside the exe.
  add_link_options(-static -static-libgcc -static-libstdc++)
else()
  find_package(ZLIB REQUIRED)
  find_package(PNG REQUIRED)
  find_package(JPEG REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(WEBP REQUIRED IMPORTED_TARGET libwebp)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(zt_dep_zlib INTERFACE)
  target_link_libraries(zt_dep_zlib INTERFACE ZLIB::ZLIB)
  add_library(zt_dep_png INTERFACE)
  target_link_libraries(zt_dep_png INTERFACE PNG::PNG)
  add_library(zt_dep_jpeg INTERFACE)
  target_link_libraries(zt_dep_jpeg INTERFACE JPEG::JPEG)
  add_library(zt_dep_webp INTERFACE)
  target_link_libraries(zt_dep_webp INTERFACE PkgConfig::WEBP)
  add_library(zt_dep_sodium INTERFACE)
  target_link_libraries(zt_dep_sodium INTERFACE PkgConfig::SODIUM)
endif()

# GoogleTest: the system's on the host, compiled from Debian's sources for
# Windows.
if(ZT_TESTS)
  if(ZT_WINDOWS)
    set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(zt_gtest INTERFACE)
    target_link_libraries(zt_gtest INTERFACE gtest)
  else()
    find_package(GTest REQUIRED)
    add_library(zt_gtest INTERFACE)
    target_link_libraries(zt_gtest INTERFACE GTest::gtest)
  endif()
endif()
