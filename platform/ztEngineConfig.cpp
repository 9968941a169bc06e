#include "platform/ztEngineConfig.h"

ztEngineConfig* g_ztEngineConfig = nullptr;
