// Entry point of updater.exe. The updater takes no command line: the package
// folder it is started from says everything.
#include "app/UpdaterUi.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  RunUpdater(instance);
  return 0;
}
