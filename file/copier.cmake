# The file copy engine: worker threads over Win32 files, Windows build only.
if(ZT_WINDOWS)
  target_sources(zt_file PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/ztFileCopier.cpp
    ${CMAKE_CURRENT_LIST_DIR}/ztFileCopier_win32.cpp)
endif()
