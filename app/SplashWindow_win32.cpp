// The splash window: the updater's only top-level window. Its procedure runs
// the visible sequence one step per posted message (ask, check, prepare,
// repaint, copy, close), so the window is painted and the message loop stays
// alive between the steps.
#include <cstring>

#include "app/SplashPicture.h"
#include "app/UpdateDescription.h"
#include "app/UpdateJob.h"
#include "app/UpdaterUi.h"
#include "app/VersionGate.h"
#include "app/discovery.h"
#include "file/pathutil.h"
#include "file/textutil.h"
#include "image/ztImageHolder.h"
#include "platform/ztWide.h"

namespace {

void Post(HWND window, UINT message) { PostMessageW(window, message, 0, 0); }

// The run's state, kept in the window's user data from its first message.
Updater* UpdaterOf(HWND window) { return reinterpret_cast<Updater*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

// Closes the window after a box the user has to acknowledge; `outcome` is
// the run's exit code.
void StopWith(Updater& updater, HWND window, const char16_t* text, const char16_t* caption,
              UpdaterExitCode outcome) {
  updater.outcome = outcome;
  ShowBox(&updater, window, text, caption, MB_OK);
  Post(window, UM_CLOSE);
}

// Makes the found installation folder a full path and checks that it is a
// folder. The version check runs from the package folder and the copy from
// its data folder: a relative folder must name the same place for both. An
// empty folder would make every destination relative to wherever the
// process stands: that is no installation. A folder written with a trailing
// backslash, or a drive root, is an installation folder too.
int ResolveInstallFolder(char16_t (&folder)[ZT_MAX_PATH]) {
  if (!folder[0]) return 0;
  char16_t full[ZT_MAX_PATH];
  DWORD n = GetFullPathNameW(W(folder), ZT_MAX_PATH, W(full), nullptr);
  if (n == 0 || n >= ZT_MAX_PATH || !ztIsFolder(full)) return 0;
  (void)CopyText(folder, full);
  return 1;
}

void Confirm(Updater& updater, HWND window) {
  const LanguageRecord& lang = updater.language;
  const UpdateDescription& description = updater.description;
  char16_t intro[kTextUnits];
  (void)CopyText(intro, lang.introText);
  if (ShowBox(&updater, window, intro, lang.windowTitle, MB_OKCANCEL) != IDOK) {
    updater.outcome = kExitCancelled;
    Post(window, UM_CLOSE);
    return;
  }

  if (!FindInstallFolder(description.brand, description.app, updater.installFolder) ||
      !ResolveInstallFolder(updater.installFolder)) {
    StopWith(updater, window, lang.installErrorText, lang.windowTitle, kExitNotInstalled);
    return;
  }
  // From here on every step works inside the folder as the system resolves
  // it, holding it: a second updater of the same installation stops here,
  // and writes nothing (not even update.log, which the first one owns).
  if (!updater.guard.Open(updater.installFolder)) {
    if (updater.guard.Problem() != InstallGuard::kGuardBusy) {
      updater.installFound = true;
      RecordProblem(updater, u"", InstallGuard::ProblemWords(updater.guard.Problem()));
    }
    StopWith(updater, window, lang.copyErrorText, lang.windowTitle, kExitCopyFailed);
    return;
  }
  (void)CopyText(updater.installFolder, updater.guard.Root());  // it fitted before
  updater.installFound = true;

  // An update that a kill or a power cut left unfinished is undone (or, when
  // it was complete, finished) before anything reads the installation: the
  // version file may be one of its files. A journal that cannot be read or
  // trusted, or that names a folder leading out of the installation, is
  // never acted on.
  TransactionProblem problem;
  updater.record.recovery = RecoverUnfinishedUpdate(updater.guard, &problem);
  if (updater.record.recovery == kRecoveryRefused || updater.record.recovery == kRecoveryFailed) {
    RecordProblem(updater, problem.path, problem.words);
    StopWith(updater, window, lang.copyErrorText, lang.windowTitle, kExitCopyFailed);
    return;
  }

  const uint32_t installed = ReadInstalledVersion(updater.installFolder);
  const uint32_t required = RequiredVersion(description.majorVersion, description.minorVersion);
  if (!VersionAccepted(installed, required)) {
    StopWith(updater, window, lang.versionErrorText, lang.errorTitle, kExitVersionTooOld);
    return;
  }

  // Enter the data folder. Without one the walk would collect the package's
  // own files (the updater among them) and install those: stop instead.
  char16_t package[kFolderUnits];
  char16_t data[kFolderUnits];
  DWORD n = GetCurrentDirectoryW(kFolderUnits, W(package));
  if (n == 0 || n >= kFolderUnits || JoinPath(data, 2, package, u"data") < 0 || GetPathKind(data) != ZT_PATH_FOLDER ||
      !SetCurrentDirectoryW(W(data))) {
    StopWith(updater, window, lang.copyErrorText, lang.windowTitle, kExitCopyFailed);
    return;
  }
  (void)CopyText(updater.packageFolder, package);  // same width
  updater.files.Reset();
  WalkDataFolder(u"", &updater.files);
  Post(window, UM_REPAINT);
}

}  // namespace

int PaintSplashPicture(HDC dc, const ztImageHolder* holder) {
  if (!SplashPaintable(holder)) return 0;
  uint32_t w = 0, h = 0;
  holder->GetSize(&w, &h);
  // A header with room for one colour entry; a 24- or 32-bit picture uses
  // none.
  union {
    BITMAPINFO info;
    uint8_t bytes[sizeof(BITMAPINFOHEADER) + sizeof(RGBQUAD)];
  } bmi;
  std::memset(&bmi, 0, sizeof bmi);
  BITMAPINFOHEADER& hdr = bmi.info.bmiHeader;
  hdr.biSize = sizeof(BITMAPINFOHEADER);
  hdr.biWidth = static_cast<LONG>(w);
  hdr.biHeight = static_cast<LONG>(h);  // positive: rows bottom-up, as flipped at start
  hdr.biPlanes = 1;
  hdr.biBitCount = static_cast<WORD>(holder->GetBytesPerPixel() * 8);
  hdr.biCompression = BI_RGB;
  hdr.biSizeImage = holder->GetStride() * h;
  StretchDIBits(dc, 0, 0, static_cast<int>(w), static_cast<int>(h), 0, 0, static_cast<int>(w), static_cast<int>(h),
                holder->GetPixels(), &bmi.info, DIB_RGB_COLORS, SRCCOPY);
  return 1;
}

LRESULT CALLBACK SplashWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  // A few messages come before WM_NCCREATE; they need no state.
  Updater* updater = UpdaterOf(window);
  if (!updater) return DefWindowProcW(window, message, wParam, lParam);
  ztImageHolder* splash = updater->splash.get();
  switch (message) {
    case WM_CREATE: Post(window, UM_CONFIRM); break;
    case WM_PAINT:
      // Without a picture the default processing below erases the client
      // area with the class background.
      if (splash) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        PaintSplashPicture(dc, splash);
        EndPaint(window, &ps);
      }
      break;
    case WM_DESTROY: PostQuitMessage(0); break;
    case UM_CLOSE: DestroyWindow(window); break;
    case UM_CONFIRM: Confirm(*updater, window); break;
    case UM_REPAINT:
      if (splash) {
        HDC dc = GetDC(window);
        PaintSplashPicture(dc, splash);
        ReleaseDC(window, dc);
      }
      Post(window, UM_SHOW_PROGRESS);
      break;
    case UM_SHOW_PROGRESS:
      // Without its dialog nothing would ever close the window: say so and
      // stop (nothing has been written yet).
      if (DialogBoxParamW(updater->instance, MAKEINTRESOURCEW(IDD_PROGRESS), window, ProgressDialogProc,
                          reinterpret_cast<LPARAM>(updater)) == -1)
        StopWith(*updater, window, updater->language.copyErrorText, updater->language.windowTitle,
                 kExitCopyFailed);
      break;
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
