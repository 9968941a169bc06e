# Caller-settable limits on input sizes: both builds.
target_sources(zt_platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ztLimits.cpp)
