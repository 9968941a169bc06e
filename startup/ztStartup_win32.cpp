#include "startup/ztStartup.h"

#include <windows.h>
#include <objbase.h>

#include "file/ztFileServer.h"
#include "platform/ztCaps.h"
#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "platform/ztSystemLibrary.h"

namespace {
// COM is uninitialised only as often as start-up initialised it.
int g_comInits = 0;
}  // namespace

int ztLibraryStartup(uint32_t flags, int32_t ddeMode) {
  // comctl32 is no known DLL: taken from the system folder, not imported.
  using InitFn = void(WINAPI*)();
  static const InitFn initCommonControls = ztSystemFunctionAs<InitFn>(u"comctl32.dll", "InitCommonControls");
  if (initCommonControls) initCommonControls();
  HRESULT hr = CoInitialize(nullptr);
  if (SUCCEEDED(hr)) ++g_comInits;
  // ddeMode 1 and 2 would start the library's DDE service here; the updater
  // always passes 0 and the service is not part of this library.
  ztCapsCreate(flags, ddeMode);
  ztHeapCreate(ZT_STARTUP_HEAP_SIZE);
  if (!ztGetFileServer()) new ztFileServer();
  return 1;
}

int ztLibraryShutdown() {
  // The file server clears the global in its destructor.
  delete ztGetFileServer();
  ztEngineConfig* config = g_ztEngineConfig;
  g_ztEngineConfig = nullptr;
  delete config;
  ztHeapDestroy();
  ShutdownDebugLog();
  ztCapsDestroy();
  if (g_comInits > 0) {
    --g_comInits;
    CoUninitialize();
  }
  return 1;
}
