// The updater's user interface: the splash window and its step messages,
// the progress dialog with the copy engine's callback, and the start-up
// sequence that opens the one and tears everything down after.
//
// Windows build only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

#include "resources/resource.h"

class ztImageHolder;
class ztFileCopier;
struct CopyStatus;

// Private messages, all posted with both parameters 0. The splash window
// and the progress dialog share UM_CLOSE.
enum : UINT {
  UM_START_COPY = WM_USER + 2,      // 1026, dialog: build the jobs, start the engine
  UM_CLOSE = WM_USER + 10,          // 1034, splash: destroy; dialog: close both
  UM_CONFIRM = WM_USER + 20,        // 1044, splash: ask, check, prepare
  UM_SHOW_PROGRESS = WM_USER + 21,  // 1045, splash: run the progress dialog
  UM_REPAINT = WM_USER + 22,        // 1046, splash: paint the picture once more
  UM_COPY_DONE = WM_USER + 23,      // 1047, dialog: every job finished
  UM_COPY_FAILED = WM_USER + 24,    // 1048, dialog: the job failed
};

// ---- how a run ends ----------------------------------------------------------

// The process's exit code, so that a launcher or a script can tell a finished
// update from a refused or failed one. Each step that ends the run records
// its outcome; the boxes the user sees do not depend on it.
enum UpdaterExitCode : int {
  kExitInstalled = 0,      // the update was installed
  kExitCancelled = 1,      // the user pressed Cancel at the question
  kExitNoDescription = 2,  // no usable description (missing, unreadable, no language)
  kExitGameRunning = 3,    // the game or its configuration tool is running
  kExitNotInstalled = 4,   // the installation was not found
  kExitVersionTooOld = 5,  // the installed version is too old for this update
  kExitCopyFailed = 6,     // copying failed (or was refused before it began)
  kExitNoWindow = 7,       // the program could not start its window
};
void SetRunOutcome(UpdaterExitCode code);

// ---- process-wide objects of the start-up sequence --------------------------

extern HINSTANCE g_instance;          // for the progress dialog
extern ztImageHolder* g_imageHolder;  // the splash picture, or null
extern ztFileCopier* g_copier;        // made by the progress dialog

// The whole run, from the library start-up to the teardown. Returns the
// run's UpdaterExitCode.
int RunUpdater(HINSTANCE instance);

// ---- splash window -----------------------------------------------------------

// Window procedure of the class "WC_UPDATE". Every message ends in
// DefWindowProcW, whose result is returned.
LRESULT CALLBACK SplashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Paints the held picture at (0, 0) in its own size. 0 (nothing painted)
// without a paintable picture.
int PaintSplashPicture(HDC dc, const ztImageHolder* holder);

// ---- progress dialog and job -------------------------------------------------

// Appends the files below the current directory's `relative` folder (empty
// for the current directory itself) to the file list, depth first, in the
// order the system returns the entries.
void WalkDataFolder(const char16_t* relative);

// Dialog procedure of the progress dialog (resource 1003). Returns 0 for
// every message, so the dialog sets no default focus.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The copy engine's callback; `userData` is the progress dialog. Posts the
// outcome to the dialog; on a failure first shows the engine's error text.
int32_t OnCopyProgress(void* userData, const CopyStatus* status);
