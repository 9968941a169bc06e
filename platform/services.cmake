# Threads, named mutexes, the capability record and the library start-up:
# Windows build only.
if(ZT_WINDOWS)
  target_sources(zt_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ztThread_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztMutex_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztCaps.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztCaps_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztStartup_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztSystemLibrary_win32.cpp)
  # The start-up creates the file server, which lives in zt_file (itself
  # built on zt_platform): CMake repeats the two static libraries on the
  # link line so the cycle resolves.
  target_link_libraries(zt_platform PUBLIC zt_file zt_winsys)
endif()
