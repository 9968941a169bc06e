# String list, Blowfish, archives and archive members: both builds.
zt_test(file_services_tests ztStringList_test.cpp blowfish_test.cpp ztArchive_test.cpp
        ztBigFile_test.cpp LIBS zt_file)
# The file server: both builds (on the host under the sanitizers too).
zt_test(fileserver_tests ztFileServer_test.cpp LIBS zt_file zt_platform)
