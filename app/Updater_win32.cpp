// The start-up sequence: the whole life of the process on one thread.
#include "app/SplashPicture.h"
#include "app/UpdateDescription.h"
#include "app/UpdateTransaction.h"
#include "app/UpdaterUi.h"
#include "file/textutil.h"
#include "file/ztFileCopier.h"
#include "image/ztImageHolder.h"
#include "platform/ztMutex.h"
#include "platform/ztWide.h"
#include "platform/ztWindow.h"
#include "startup/ztStartup.h"

namespace {

constexpr DWORD kSplashStyle = WS_POPUP | WS_VISIBLE | WS_BORDER;  // 0x90800000
// A quiet run's window only carries the steps' messages: never shown.
constexpr DWORD kQuietStyle = WS_POPUP | WS_BORDER;

void Teardown(Updater& updater, ztWindowClass* windowClass) {
  delete updater.copier;
  updater.copier = nullptr;
  updater.splash.reset();
  ztLibraryShutdown();
  if (windowClass) windowClass->Unregister();
}

// Registers the window class and creates the splash window: its client area
// is exactly the picture (or the default size without one), centred on the
// primary screen. Null when the system refused either.
HWND OpenSplashWindow(Updater& updater, ztWindowClass* windowClass) {
  HINSTANCE instance = updater.instance;
  if (!windowClass->Register(
          u"WC_UPDATE", SplashWindowProc, instance, LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_LARGE)),
          LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_SMALL)), static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)),
          nullptr, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)), CS_HREDRAW | CS_VREDRAW))
    return nullptr;

  char16_t title[kTitleUnits];
  (void)CopyText(title, updater.language.windowTitle);  // both are kTitleUnits wide
  uint32_t w = 0, h = 0;
  SplashClientSize(updater.splash.get(), &w, &h);
  RECT rect = {0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  CentreRectOnScreen(&rect, kSplashStyle, 0, FALSE);
  return CreateWindowExW(0, L"WC_UPDATE", W(title), updater.quiet ? kQuietStyle : kSplashStyle, rect.left, rect.top,
                         rect.right - rect.left, rect.bottom - rect.top, nullptr, nullptr, instance, &updater);
}

// Shows the window (unless the run is quiet) and runs the sequence until the
// window is gone.
void RunMessageLoop(HWND window, bool quiet) {
  if (!quiet) {
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
  }
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// The run's lines in the installation's update.log, once the installation
// is known.
void RecordRun(Updater& updater, ULONGLONG started) {
  if (!updater.installFound) return;
  RunRecord& record = updater.record;
  FormatLocalTime(record.when);
  record.majorVersion = updater.description.majorVersion;
  record.minorVersion = updater.description.minorVersion;
  record.outcome = updater.outcome;
  record.milliseconds = GetTickCount64() - started;
  AppendRunRecord(updater.installFolder, record);
}

}  // namespace

int ShowBox(Updater* updater, HWND owner, const char16_t* text, const char16_t* caption, UINT type) {
  if (!updater || !updater->quiet) return MessageBoxW(owner, W(text), W(caption), type);
  updater->record.boxes.push_back(std::u16string(caption) + u": " + text);
  return IDOK;
}

int RunUpdater(Updater& updater) {
  const ULONGLONG started = GetTickCount64();
  ztLibraryStartup(0x7F, 0);

  // Read once: a signed package's description is checked against the
  // digest of exactly the bytes that were used. A brand or app that is more
  // than one plain name would lead the discovery lookup out of its folder,
  // so such a description is as unusable as a missing one.
  std::vector<uint8_t> descriptionBytes;
  if (ReadFileBytes(u"updateinfo.xml", &descriptionBytes) != 1 ||
      !LoadUpdateDescriptionFromMemory(descriptionBytes.data(), descriptionBytes.size(), &updater.description) ||
      !CheckDescriptionNames(updater.description)) {
    ShowBox(&updater, nullptr, u"updateinfo.xml was not found.", u"error", MB_OK);
    ztLibraryShutdown();
    return kExitNoDescription;
  }
  updater.descriptionDigest = ztSha256::Of(descriptionBytes.data(), descriptionBytes.size());
  if (!ChooseLanguage(updater.description, &updater.language)) {
    ShowBox(&updater, nullptr, u"", u"error", MB_OK);
    ztLibraryShutdown();
    return kExitNoDescription;
  }

  // Both are created and held for the whole run, so that the game and its
  // configuration tool cannot start while files are replaced under them.
  // Declared after the game mutex, the configuration mutex is closed first.
  ztMutex gameMutex;
  ztMutex configMutex;
  int32_t gameRuns = 1, configRuns = 1;
  // A mutex that cannot be made counts as held (the flags say so), which is
  // what the check below needs; the results add nothing.
  (void)gameMutex.Create(updater.description.gameMutex, &gameRuns);
  (void)configMutex.Create(updater.description.configMutex, &configRuns);
  if (gameRuns || configRuns) {
    ShowBox(&updater, nullptr, updater.language.bootErrorText, updater.language.windowTitle, MB_OK);
    ztLibraryShutdown();
    return kExitGameRunning;  // configMutex, then gameMutex, close here
  }

  std::vector<uint8_t> splashBytes;
  if (ReadFileBytes(u"updatebg.ra3", &splashBytes) == 1) {
    updater.hasSplashFile = true;
    updater.splashDigest = ztSha256::Of(splashBytes.data(), splashBytes.size());
    updater.splash.reset(LoadSplashPictureFromMemory(splashBytes.data(), splashBytes.size()));
  }
  ztWindowClass windowClass;
  if (HWND window = OpenSplashWindow(updater, &windowClass)) {
    RunMessageLoop(window, updater.quiet);
  } else {
    // Without its window the run cannot go on; nothing has been written, and
    // the user is told so rather than left with a program that vanished.
    ShowBox(&updater, nullptr, updater.language.copyErrorText, updater.language.windowTitle, MB_OK);
    updater.outcome = kExitNoWindow;
  }

  Teardown(updater, &windowClass);
  RecordRun(updater, started);
  return updater.outcome;  // configMutex, then gameMutex, close here
}
