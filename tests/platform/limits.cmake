# Input limits: each limit at its value and one past it, through the readers
# that enforce it. Both builds.
zt_test(limits_tests ztLimits_test.cpp LIBS zt_imagetool zt_image zt_xml zt_file zt_platform)
