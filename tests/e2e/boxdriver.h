// Drives a GUI program from outside, the way a user would: finds the message
// boxes of its process, reads their caption and text, presses their buttons,
// looks at its windows and takes pictures of the screen.
//
// Windows build only (run under Wine with a real X display).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/testutil.h"

namespace e2e {

struct Box {
  HWND window = nullptr;
  std::u16string caption;
  std::u16string text;
  std::vector<int> buttons;  // control ids of the push buttons (IDOK = 1, IDCANCEL = 2)
};

// Visible message boxes of process `pid`: dialog-class top-level windows
// with a push button (the progress dialog has none).
std::vector<HWND> FindBoxes(DWORD pid);
bool ReadBox(HWND window, Box* box);
// Presses a button of a box (as a click would) and waits up to `timeoutMs`
// for the box to go away. False when it stayed.
bool PressButton(HWND window, int id, DWORD timeoutMs = 5000);

// Xvfb runs no window manager, and Wine waits for one (in vain, up to two
// seconds) each time a managed window such as a message box is hidden.
// This lets Wine place updater.exe's windows itself; with `noCrashDialog`
// a crashing program also ends at once instead of waiting behind Wine's
// crash dialog. Both are Wine's own settings and mean nothing to Windows.
void SetWineDefaultsForUpdater(bool noCrashDialog = false);

// The first top-level window of `pid` with class `className`, visible or
// not; null when none.
HWND FindProcessWindow(DWORD pid, const wchar_t* className);

// A started program.
class Process {
 public:
  Process() = default;
  ~Process();  // kills the program if it still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts `exe` with `folder` as its current directory. `extraEnv` entries
  // ("NAME=value") are added to (or replace) the caller's environment;
  // `arguments` follow the program's name on its command line.
  bool Start(const std::u16string& exe, const std::u16string& folder, const std::vector<std::u16string>& extraEnv = {},
             const std::u16string& arguments = u"");
  // Waits up to `timeoutMs` for a message box. False on time-out or when
  // the program ended first.
  bool WaitBox(Box* box, DWORD timeoutMs = 10000);
  // Waits up to `timeoutMs` for the program to end; a box that shows up
  // meanwhile is returned in `stray` (and the wait stops there).
  bool WaitExit(DWORD timeoutMs, Box* stray, DWORD* exitCode = nullptr);
  void Kill();
  DWORD Pid() const { return pid_; }
  HANDLE Handle() const { return process_; }
  // Start time, QueryPerformanceCounter ticks.
  int64_t StartTicks() const { return startTicks_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  int64_t startTicks_ = 0;
};

// Screen pixels of `rect` (screen coordinates) as 0x00RRGGBB, row by row
// from the top. Empty on failure.
std::vector<uint32_t> CaptureScreen(const RECT& rect);
// Writes 0x00RRGGBB pixels (rows from the top) as a 24-bit BMP file.
bool SaveBmp(const std::u16string& path, int width, int height, const std::vector<uint32_t>& pixels);

// Client rectangle of a window in screen coordinates.
RECT ClientRectOnScreen(HWND window);

std::string Narrow(const std::u16string& text);  // UTF-8, for messages
using zt_test::W;
double TicksToSeconds(int64_t ticks);
int64_t NowTicks();

}  // namespace e2e
