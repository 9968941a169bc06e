// Entry point of updater.exe. The updater takes no command line: the package
// folder it is started from says everything. The exit code tells how the run
// ended (UpdaterExitCode).
#include "app/UpdaterUi.h"
#include "platform/ztSystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything can load a library: nothing from the package folder.
  ztRestrictDllSearch();
  return RunUpdater(instance);
}
