// The start-up sequence: the whole life of the process on one thread.
#include "app/SplashPicture.h"
#include "app/UpdateDescription.h"
#include "app/UpdaterUi.h"
#include "file/textutil.h"
#include "file/ztFileCopier.h"
#include "image/ztImageHolder.h"
#include "platform/ztMutex.h"
#include "platform/ztStartup.h"
#include "platform/ztWindow.h"

HINSTANCE g_instance = nullptr;
ztImageHolder* g_imageHolder = nullptr;
ztFileCopier* g_copier = nullptr;

namespace {

// Until a step records otherwise, the window never got as far as an outcome.
UpdaterExitCode g_outcome = kExitNoWindow;

const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

constexpr DWORD kSplashStyle = WS_POPUP | WS_VISIBLE | WS_BORDER;  // 0x90800000

void Teardown(ztWindowClass* windowClass) {
  delete g_copier;
  g_copier = nullptr;
  delete g_imageHolder;
  g_imageHolder = nullptr;
  ztLibraryShutdown();
  if (windowClass) windowClass->Unregister();
}

}  // namespace

void SetRunOutcome(UpdaterExitCode code) { g_outcome = code; }

int RunUpdater(HINSTANCE instance) {
  ztLibraryStartup(0x7F, 0);

  if (!LoadUpdateDescription()) {
    MessageBoxW(nullptr, L"updateinfo.xml was not found.", L"error", MB_OK);
    ztLibraryShutdown();
    return kExitNoDescription;
  }
  if (!ChooseLanguage()) {
    MessageBoxW(nullptr, L"", L"error", MB_OK);
    ztLibraryShutdown();
    return kExitNoDescription;
  }

  // Both are created and held for the whole run, so that the game and its
  // configuration tool cannot start while files are replaced under them.
  // Declared after the game mutex, the configuration mutex is closed first.
  ztMutex gameMutex;
  ztMutex configMutex;
  int32_t gameRuns = 1, configRuns = 1;
  gameMutex.Create(g_updateDescription.gameMutex, &gameRuns);
  configMutex.Create(g_updateDescription.configMutex, &configRuns);
  if (gameRuns || configRuns) {
    MessageBoxW(nullptr, W(g_currentLanguage.bootErrorText), W(g_currentLanguage.windowTitle), MB_OK);
    ztLibraryShutdown();
    return kExitGameRunning;  // configMutex, then gameMutex, close here
  }

  g_instance = instance;
  g_imageHolder = LoadSplashPicture(u"updatebg.ra3");

  ztWindowClass windowClass;
  const int registered = windowClass.Register(
      u"WC_UPDATE", SplashWindowProc, instance, LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_LARGE)),
      LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_SMALL)), static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)),
      nullptr, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)), CS_HREDRAW | CS_VREDRAW);

  char16_t title[256];
  CopyText(title, g_currentLanguage.windowTitle);

  // The client area is exactly the picture (or the default size without
  // one), centred on the primary screen.
  uint32_t w = 0, h = 0;
  SplashClientSize(g_imageHolder, &w, &h);
  RECT rect = {0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  CentreRectOnScreen(&rect, kSplashStyle, 0, FALSE);

  HWND window = registered ? CreateWindowExW(0, L"WC_UPDATE", W(title), kSplashStyle, rect.left, rect.top,
                                             rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr,
                                             instance, nullptr)
                           : nullptr;
  if (window) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  } else {
    // Without its window the run cannot go on; nothing has been written, and
    // the user is told so rather than left with a program that vanished.
    MessageBoxW(nullptr, W(g_currentLanguage.copyErrorText), W(g_currentLanguage.windowTitle), MB_OK);
    SetRunOutcome(kExitNoWindow);
  }

  Teardown(&windowClass);
  return g_outcome;  // configMutex, then gameMutex, close here
}
