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
#include <memory>
#include <thread>
#include <vector>

#include "app/InstallGuard.h"
#include "app/UpdateDescription.h"
#include "app/UpdateJob.h"
#include "app/UpdateJournal.h"
#include "app/UpdateManifest.h"
#include "app/UpdateTransaction.h"
#include "file/pathutil.h"
#include "image/ztImageHolder.h"
#include "resources/resource.h"

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

// A thread joined when it goes out of scope (a run that ends early never
// leaves one running into the teardown).
struct JoiningThread {
  std::thread thread;
  JoiningThread() = default;
  JoiningThread(const JoiningThread&) = delete;
  JoiningThread& operator=(const JoiningThread&) = delete;
  ~JoiningThread() { Join(); }
  void Join() {
    if (thread.joinable()) thread.join();
  }
};

// The package folder and its data folder as the current directory gives them
// (the system allows a current directory longer than a path buffer).
constexpr DWORD kFolderUnits = 1024;

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
  kExitNotVerified = 8,    // the package's manifest, signature or a file's digest did not verify
  kExitNotPatchable = 9,   // an installed file is not the base of its delta, and no whole file was shipped
};

// ---- the run's state ---------------------------------------------------------

// Everything one run of the updater reads and writes, owned by the entry
// point and handed to each step: the splash window keeps it in its user data,
// the progress dialog in its dialog data, and the copy engine's callback
// reaches it through the dialog.
struct Updater {
  HINSTANCE instance = nullptr;
  UpdateDescription description;
  ztSha256Digest descriptionDigest = {};     // of the updateinfo.xml bytes read
  bool hasSplashFile = false;                // updatebg.ra3 was read whole
  ztSha256Digest splashDigest = {};          // of those bytes
  char16_t packageFolder[kFolderUnits] = {}; // the folder the package was started from
  LanguageRecord language = {};             // the texts the user sees
  std::unique_ptr<ztImageHolder> splash;    // the splash picture, or null
  char16_t installFolder[ZT_MAX_PATH] = {}; // full path once found and checked
  bool installFound = false;                // installFolder names the installation
  // The installation resolved, locked against a second updater, and every
  // folder the run touches held (app/InstallGuard.h). Lives until the
  // process ends, after the run's record is written.
  InstallGuard guard;
  DataFiles files;                          // the package's data folder
  ztFileCopier* copier = nullptr;           // made by the progress dialog
  // The update's journal from just before the first change until it is
  // committed or rolled back (the engine's final callback does either).
  std::unique_ptr<UpdateTransaction> transaction;
  // The manifest's digest of each data file in the walk's order (empty
  // without a manifest), and its deltas.
  std::vector<ztSha256Digest> expected;
  std::vector<ManifestDelta> deltas;
  // The first step of the job checks the package and starts the check of
  // the deltas' bases on threads of their own; the second makes the jobs.
  bool packageChecked = false;
  JoiningThread baseCheck;
  std::vector<char> baseMatches;  // per delta: the installed file is its base
  // The run's jobs: the data files the engine copies (relative to data and
  // to the installation) and their sizes, then the deltas applied after
  // them (indices into `deltas`), job numbers following the engine's.
  std::vector<std::u16string> jobPaths;
  std::vector<uint64_t> jobSizes;
  std::vector<size_t> deltaJobs;
  // The engine's jobs' digests, checked as it reads (null for a package
  // without a manifest).
  std::unique_ptr<ManifestDigestCheck> digestCheck;
  bool hasManifest = false;
  int verifyFailure = kVerifyOk;            // why the package was refused
  bool notPatchable = false;                // an installed file is not its delta's base (exit 9)
  RunRecord record;                         // what update.log will say of the run
  // /quiet: no window is shown, no box; the question is answered with OK and
  // each box's text goes to update.log.
  bool quiet = false;
  // Until a step records otherwise, the window never got as far as an
  // outcome.
  UpdaterExitCode outcome = kExitNoWindow;
};

// Records why the run stopped for update.log (the first reason stays):
// `path` relative to the installation ("" for the installation folder
// itself), `words` fixed English.
void RecordProblem(Updater& updater, const std::u16string& path, const char* words);

// The whole run, from the library start-up to the teardown. Returns the
// run's UpdaterExitCode.
int RunUpdater(Updater& updater);

// Every box of the updater goes through here: MessageBoxW, or in a quiet run
// the box's caption and text recorded and IDOK returned without a window.
int ShowBox(Updater* updater, HWND owner, const char16_t* text, const char16_t* caption, UINT type);

// ---- splash window -----------------------------------------------------------

// Window procedure of the class "WC_UPDATE", created with the Updater as its
// creation parameter. Every message ends in DefWindowProcW, whose result is
// returned.
LRESULT CALLBACK SplashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Paints the held picture at (0, 0) in its own size. 0 (nothing painted)
// without a paintable picture.
int PaintSplashPicture(HDC dc, const ztImageHolder* holder);

// ---- progress dialog and job -------------------------------------------------

// Appends the files below the current directory's `relative` folder (empty
// for the current directory itself) to `files`, depth first, in the order
// the system returns the entries.
void WalkDataFolder(const char16_t* relative, DataFiles* files);

// Dialog procedure of the progress dialog (resource 1003), opened with the
// Updater as its parameter. Returns 0 for every message, so the dialog sets
// no default focus.
INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// The copy engine's callback; `userData` is the progress dialog. Posts the
// outcome to the dialog; on a failure first shows the engine's error text.
int32_t OnCopyProgress(void* userData, const CopyStatus* status);
