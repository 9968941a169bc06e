// Entry point of updater.exe. The package folder it is started from says
// everything; the command line only asks for an unattended run (/quiet). The
// exit code tells how the run ended (UpdaterExitCode).
#include <memory>

#include "app/UpdaterArgs.h"
#include "app/UpdaterUi.h"
#include "platform/ztSystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything can load a library: nothing from the package folder.
  ztRestrictDllSearch();
  // Large (every text of every language): kept off the stack.
  std::unique_ptr<Updater> updater(new Updater);
  updater->instance = instance;
  updater->quiet = HasQuietSwitch(reinterpret_cast<const char16_t*>(GetCommandLineW()));
  return RunUpdater(*updater);
}
