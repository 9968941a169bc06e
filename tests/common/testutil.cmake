# The helpers every test program shares (testutil.h: text, captured log,
# temporary folders, files; bytes.h: byte layouts). The fuzz seed writer and
# the updater benchmark use them too, and the fuzz build makes no tests, so
# each of those folders includes this file; the first one defines the
# library.
if(NOT TARGET zt_testutil)
  zt_library(zt_testutil
    PORTABLE ${CMAKE_CURRENT_LIST_DIR}/testutil.cpp
    WINDOWS ${CMAKE_CURRENT_LIST_DIR}/testfiles_win32.cpp
    POSIX ${CMAKE_CURRENT_LIST_DIR}/testfiles_posix.cpp
    LIBS zt_file zt_platform)
endif()
