# Tests of threads, named mutexes, the capability record and the library
# start-up: Windows build only. The mutex test starts ztMutex_helper.exe (a
# second process) from the folder of the test program.
if(ZT_WINDOWS)
  add_executable(ztMutex_helper ztMutex_helper.cpp)
  target_link_libraries(ztMutex_helper PRIVATE zt_platform shell32)
  zt_test(platform_services_tests ztThread_test.cpp ztMutex_test.cpp ztCaps_test.cpp
          ztStartup_test.cpp LIBS zt_startup zt_platform zt_file)
  add_dependencies(platform_services_tests ztMutex_helper)
endif()
