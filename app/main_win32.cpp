// Entry point of updater.exe. The updater takes no command line: the package
// folder it is started from says everything. The exit code tells how the run
// ended (UpdaterExitCode).
#include <memory>

#include "app/UpdaterUi.h"
#include "platform/ztSystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything can load a library: nothing from the package folder.
  ztRestrictDllSearch();
  // Large (every text of every language): kept off the stack.
  std::unique_ptr<Updater> updater(new Updater);
  updater->instance = instance;
  return RunUpdater(*updater);
}
