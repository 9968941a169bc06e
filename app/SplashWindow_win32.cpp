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

namespace {

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

void Post(HWND window, UINT message) { PostMessageW(window, message, 0, 0); }

// Closes the window after a box the user has to acknowledge; `outcome` is
// the run's exit code.
void StopWith(HWND window, const char16_t* text, const char16_t* caption, UpdaterExitCode outcome) {
  SetRunOutcome(outcome);
  MessageBoxW(window, W(text), W(caption), MB_OK);
  Post(window, UM_CLOSE);
}

// Makes the found installation folder a full path and checks that it is a
// folder. The version check runs from the package folder and the copy from
// its data folder: a relative folder must name the same place for both. An
// empty folder would make every destination relative to wherever the
// process stands: that is no installation. A folder written with a trailing
// backslash, or a drive root, is an installation folder too.
int ResolveInstallFolder() {
  const char16_t* folder = InstallFolder();
  if (!folder[0]) return 0;
  char16_t full[ZT_MAX_PATH];
  DWORD n = GetFullPathNameW(W(folder), ZT_MAX_PATH, reinterpret_cast<wchar_t*>(full), nullptr);
  if (n == 0 || n >= ZT_MAX_PATH || !ztIsFolder(full)) return 0;
  SetInstallFolder(full);
  return 1;
}

void Confirm(HWND window) {
  const LanguageRecord& lang = g_currentLanguage;
  char16_t intro[512];
  CopyText(intro, lang.introText);
  if (MessageBoxW(window, W(intro), W(lang.windowTitle), MB_OKCANCEL) != IDOK) {
    SetRunOutcome(kExitCancelled);
    Post(window, UM_CLOSE);
    return;
  }

  if (!FindInstallFolder(g_updateDescription.brand, g_updateDescription.app) || !ResolveInstallFolder()) {
    StopWith(window, lang.installErrorText, lang.windowTitle, kExitNotInstalled);
    return;
  }

  const uint32_t installed = ReadInstalledVersion();
  const uint32_t required = RequiredVersion(g_updateDescription.majorVersion, g_updateDescription.minorVersion);
  if (!VersionAccepted(installed, required)) {
    StopWith(window, lang.versionErrorText, lang.errorTitle, kExitVersionTooOld);
    return;
  }

  // Enter the data folder. Without one the walk would collect the package's
  // own files (the updater among them) and install those: stop instead.
  char16_t package[1024];
  char16_t data[1024];
  DWORD n = GetCurrentDirectoryW(1024, reinterpret_cast<wchar_t*>(package));
  if (n == 0 || n >= 1024 || JoinPath(data, 2, package, u"data") < 0 || GetPathKind(data) != 2 ||
      !SetCurrentDirectoryW(W(data))) {
    StopWith(window, lang.copyErrorText, lang.windowTitle, kExitCopyFailed);
    return;
  }
  ResetFileList();
  WalkDataFolder(u"");
  SetInstallRoot(InstallFolder());
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
  switch (message) {
    case WM_CREATE: Post(window, UM_CONFIRM); break;
    case WM_PAINT:
      // Without a picture the default processing below erases the client
      // area with the class background.
      if (g_imageHolder) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        PaintSplashPicture(dc, g_imageHolder);
        EndPaint(window, &ps);
      }
      break;
    case WM_DESTROY: PostQuitMessage(0); break;
    case UM_CLOSE: DestroyWindow(window); break;
    case UM_CONFIRM: Confirm(window); break;
    case UM_REPAINT:
      if (g_imageHolder) {
        HDC dc = GetDC(window);
        PaintSplashPicture(dc, g_imageHolder);
        ReleaseDC(window, dc);
      }
      Post(window, UM_SHOW_PROGRESS);
      break;
    case UM_SHOW_PROGRESS:
      // Without its dialog nothing would ever close the window: say so and
      // stop (nothing has been written yet).
      if (DialogBoxParamW(g_instance, MAKEINTRESOURCEW(IDD_PROGRESS), window, ProgressDialogProc, 0) == -1)
        StopWith(window, g_currentLanguage.copyErrorText, g_currentLanguage.windowTitle, kExitCopyFailed);
      break;
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}
