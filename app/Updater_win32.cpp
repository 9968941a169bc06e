// The start-up sequence: the whole life of the process on one thread (and
// the splash picture's decoding on a second one, until the window opens).
#include <memory>
#include <utility>
#include <vector>

#include "app/SplashPicture.h"
#include "app/UpdateDescription.h"
#include "app/UpdateTransaction.h"
#include "app/UpdaterUi.h"
#include "file/textutil.h"
#include "file/ztFileCopier.h"
#include "image/ztImageHolder.h"
#include "platform/ztHeap.h"
#include "platform/ztMutex.h"
#include "platform/ztSystemLibrary.h"
#include "platform/ztWide.h"
#include "platform/ztWindow.h"
#include "startup/ztStartup.h"

namespace {

constexpr DWORD kSplashStyle = WS_POPUP | WS_VISIBLE | WS_BORDER;  // 0x90800000
// A quiet run's window only carries the steps' messages: never shown.
constexpr DWORD kQuietStyle = WS_POPUP | WS_BORDER;

// The splash picture, read, digested and decoded on a thread of its own:
// meanwhile the main thread loads the window system, which (under Wine
// above all) takes longer than the picture. The results are only touched
// once Finish has waited for the thread.
class SplashLoader {
 public:
  SplashLoader() = default;
  SplashLoader(const SplashLoader&) = delete;
  SplashLoader& operator=(const SplashLoader&) = delete;
  ~SplashLoader() { Wait(); }

  // Reads from the current directory, which stays the package folder until
  // the splash window asks its question. Without a thread the work is done
  // here and now.
  void Start() {
    thread_ = CreateThread(nullptr, 0, &SplashLoader::Run, this, 0, nullptr);
    if (!thread_) Load();
  }

  // Waits for the work and hands the picture and its digest to the run.
  void Finish(Updater& updater) {
    Wait();
    updater.hasSplashFile = read_;
    updater.splashDigest = digest_;
    updater.splash = std::move(picture_);
  }

  // Waits without handing anything over (the run stops before its window);
  // the thread uses the library's heap, so this comes before the shutdown.
  void Wait() {
    if (!thread_) return;
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    thread_ = nullptr;
  }

 private:
  static DWORD WINAPI Run(void* self) {
    static_cast<SplashLoader*>(self)->Load();
    return 0;
  }
  // Read once: a signed package's picture is checked against the digest of
  // exactly the bytes shown.
  void Load() {
    std::vector<uint8_t> bytes;
    if (ReadFileBytes(u"updatebg.ra3", &bytes) != 1) return;
    read_ = true;
    digest_ = ztSha256::Of(bytes.data(), bytes.size());
    picture_.reset(LoadSplashPictureFromMemory(bytes.data(), bytes.size()));
  }

  HANDLE thread_ = nullptr;
  bool read_ = false;
  ztSha256Digest digest_ = {};
  std::unique_ptr<ztImageHolder> picture_;
};

// The updater never takes typed input (its window, boxes and dialog show
// text and buttons only), so its thread needs no input method. Without one
// the system does not make the thread's input-method window and context
// while the splash window is first shown, which under Wine costs that first
// show some 10 to 20 ms. imm32 is no known DLL everywhere: taken from the system
// folder like the others.
void DisableInputMethod() {
  using DisableFn = BOOL(WINAPI*)(DWORD);
  if (auto disable = ztSystemFunctionAs<DisableFn>(u"imm32.dll", "ImmDisableIME")) disable(0);  // this thread
}

// The library's start-up loads the common controls and starts COM, which
// only the steps after the splash need: it runs once the window is painted.
void StartLibrary() { ztLibraryStartup(0x7F, 0); }

void Teardown(Updater& updater, ztWindowClass* windowClass) {
  delete updater.copier;
  updater.copier = nullptr;
  updater.splash.reset();
  ztLibraryShutdown();
  if (windowClass) windowClass->Unregister();
}

// Registers the window class and creates the splash window: its client area
// is exactly the picture (or the default size without one), centred on the
// primary screen. Null when the system refused either. The picture is
// awaited only once the class is registered: the registration's first calls
// load the window system while the picture decodes.
HWND OpenSplashWindow(Updater& updater, ztWindowClass* windowClass, SplashLoader* picture) {
  HINSTANCE instance = updater.instance;
  if (!windowClass->Register(
          u"WC_UPDATE", SplashWindowProc, instance, LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_LARGE)),
          LoadIconW(instance, MAKEINTRESOURCEW(IDI_UPDATER_SMALL)), static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)),
          nullptr, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)), CS_HREDRAW | CS_VREDRAW))
    return nullptr;
  picture->Finish(updater);

  char16_t title[kTitleUnits];
  (void)CopyText(title, updater.language.windowTitle);  // both are kTitleUnits wide
  uint32_t w = 0, h = 0;
  SplashClientSize(updater.splash.get(), &w, &h);
  RECT rect = {0, 0, static_cast<LONG>(w), static_cast<LONG>(h)};
  CentreRectOnScreen(&rect, kSplashStyle, 0, FALSE);
  DisableInputMethod();
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
  StartLibrary();
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
  // The picture's thread allocates from the library's heap from the start.
  ztHeapCreate(ZT_STARTUP_HEAP_SIZE);
  SplashLoader picture;
  picture.Start();

  // Read once: a signed package's description is checked against the
  // digest of exactly the bytes that were used. A brand or app that is more
  // than one plain name would lead the discovery lookup out of its folder,
  // so such a description is as unusable as a missing one.
  std::vector<uint8_t> descriptionBytes;
  if (ReadFileBytes(u"updateinfo.xml", &descriptionBytes) != 1 ||
      !LoadUpdateDescriptionFromMemory(descriptionBytes.data(), descriptionBytes.size(), &updater.description) ||
      !CheckDescriptionNames(updater.description)) {
    ShowBox(&updater, nullptr, u"updateinfo.xml was not found.", u"error", MB_OK);
    picture.Wait();
    ztLibraryShutdown();
    return kExitNoDescription;
  }
  updater.descriptionDigest = ztSha256::Of(descriptionBytes.data(), descriptionBytes.size());
  if (!ChooseLanguage(updater.description, &updater.language)) {
    ShowBox(&updater, nullptr, u"", u"error", MB_OK);
    picture.Wait();
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
    picture.Wait();
    ztLibraryShutdown();
    return kExitGameRunning;  // configMutex, then gameMutex, close here
  }

  ztWindowClass windowClass;
  if (HWND window = OpenSplashWindow(updater, &windowClass, &picture)) {
    RunMessageLoop(window, updater.quiet);
  } else {
    // Without its window the run cannot go on; nothing has been written, and
    // the user is told so rather than left with a program that vanished.
    picture.Wait();
    ShowBox(&updater, nullptr, updater.language.copyErrorText, updater.language.windowTitle, MB_OK);
    updater.outcome = kExitNoWindow;
  }

  Teardown(updater, &windowClass);
  RecordRun(updater, started);
  return updater.outcome;  // configMutex, then gameMutex, close here
}
