# String list, Blowfish, the archive object and its file object: both
# builds. The file server (threads, preloader): Windows build only.
target_sources(zt_file PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ztStringList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/blowfish.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ztArchive.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ztBigFile.cpp)
if(ZT_WINDOWS)
  target_sources(zt_file PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ztStringList_win32.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztFileServer_win32.cpp)
else()
  target_sources(zt_file PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ztStringList_posix.cpp)
endif()
