// e2e_driver: runs updater.exe from a package folder and reports every box it
// shows, for scripts/demo.sh and for trying packages by hand.
//
//   e2e_driver run UPDATER PACKAGE [--answer] [--screenshot FILE.bmp]
//       Starts UPDATER with PACKAGE as its current directory and prints each
//       message box (caption and text) as it appears, until the program
//       ends. With --answer each box is answered with OK (as a user who
//       agrees to everything would); without it the user answers. With
//       --screenshot the splash window is saved as a BMP file while the
//       first box is shown.
//   e2e_driver picture FILE.bmp WIDTH HEIGHT
//       Writes the sample splash picture (coloured quarters) as a BMP.
//
// Paths are Windows paths. Exit code: 0 when the updater ended by itself.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "tests/e2e/boxdriver.h"
#include "tests/e2e/package.h"

using namespace e2e;

namespace {

std::u16string Arg(wchar_t* a) { return reinterpret_cast<const char16_t*>(a); }

void PrintBox(const Box& box) {
  std::string text = Narrow(box.text);
  // One line per box: line breaks of the text are shown as " / ".
  for (size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, " / ");
  printf("  box  [%s] %s\n", Narrow(box.caption).c_str(), text.c_str());
  fflush(stdout);
}

int Run(const std::u16string& exe, const std::u16string& folder, bool answer, const std::u16string& shot) {
  Process p;
  if (!p.Start(exe, folder)) {
    printf("could not start %s\n", Narrow(exe).c_str());
    return 1;
  }
  std::set<HWND> seen;
  bool shotTaken = shot.empty();
  const DWORD limitMs = answer ? 120000 : INFINITE;
  const int64_t start = NowTicks();
  while (WaitForSingleObject(p.Handle(), 20) != WAIT_OBJECT_0) {
    if (limitMs != INFINITE && TicksToSeconds(NowTicks() - start) * 1000 > limitMs) {
      printf("the updater did not end in time; stopped\n");
      return 1;
    }
    for (HWND h : FindBoxes(p.Pid())) {
      if (seen.count(h)) continue;
      Sleep(50);
      Box box;
      if (!ReadBox(h, &box)) continue;
      seen.insert(h);
      PrintBox(box);
      if (!shotTaken) {
        shotTaken = true;
        HWND splash = FindProcessWindow(p.Pid(), L"WC_UPDATE");
        if (splash) {
          RECT r = ClientRectOnScreen(splash);
          std::vector<uint32_t> pixels = CaptureScreen(r);
          if (SaveBmp(shot, r.right - r.left, r.bottom - r.top, pixels))
            printf("  (screenshot of the splash window: %ldx%ld)\n", r.right - r.left, r.bottom - r.top);
        }
      }
      if (answer) {
        int button = IDOK;
        bool hasOk = false;
        for (int id : box.buttons) hasOk |= id == IDOK;
        if (!hasOk && !box.buttons.empty()) button = box.buttons.front();
        PressButton(h, button);
      }
    }
  }
  DWORD code = 0;
  GetExitCodeProcess(p.Handle(), &code);
  printf("  updater ended, exit code %lu\n", code);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 4 && Arg(argv[1]) == u"run") {
    bool answer = false;
    std::u16string shot;
    for (int i = 4; i < argc; ++i) {
      if (Arg(argv[i]) == u"--answer")
        answer = true;
      else if (Arg(argv[i]) == u"--screenshot" && i + 1 < argc)
        shot = Arg(argv[++i]);
    }
    return Run(Arg(argv[2]), Arg(argv[3]), answer, shot);
  }
  if (argc == 5 && Arg(argv[1]) == u"picture") {
    const int w = _wtoi(argv[3]), h = _wtoi(argv[4]);
    if (w <= 0 || h <= 0 || w > 8192 || h > 8192) return 2;
    return WriteFileBytes(Arg(argv[2]), BmpFile(w, h, TestPicture(w, h))) ? 0 : 1;
  }
  fputs(
      "usage: e2e_driver run UPDATER PACKAGE [--answer] [--screenshot FILE.bmp]\n"
      "       e2e_driver picture FILE.bmp WIDTH HEIGHT\n",
      stderr);
  return 2;
}
