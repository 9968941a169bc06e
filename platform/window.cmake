# Window helpers (window class record, centring): Windows build only.
if(ZT_WINDOWS)
  target_sources(zt_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ztWindow_win32.cpp)
  target_link_libraries(zt_platform PUBLIC zt_winsys)
endif()
