#include "tests/e2e/boxdriver.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

#include "tests/e2e/package.h"

namespace e2e {

std::string Narrow(const std::u16string& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, W(text), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, W(text), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
  return out;
}

int64_t NowTicks() {
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return t.QuadPart;
}

double TicksToSeconds(int64_t ticks) {
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  return static_cast<double>(ticks) / static_cast<double>(f.QuadPart);
}

namespace {

std::u16string WindowText(HWND window) {
  wchar_t buffer[2048];
  int n = GetWindowTextW(window, buffer, 2048);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n > 0 ? n : 0);
}

std::u16string ClassOf(HWND window) {
  wchar_t buffer[256];
  int n = GetClassNameW(window, buffer, 256);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), n > 0 ? n : 0);
}

struct Search {
  DWORD pid;
  std::vector<HWND> found;
  const wchar_t* className;
  bool visibleOnly;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param) {
  auto* s = reinterpret_cast<Search*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != s->pid) return TRUE;
  if (s->visibleOnly && !IsWindowVisible(window)) return TRUE;
  if (ClassOf(window) != reinterpret_cast<const char16_t*>(s->className)) return TRUE;
  s->found.push_back(window);
  return TRUE;
}

BOOL CALLBACK CollectButtons(HWND child, LPARAM param) {
  auto* ids = reinterpret_cast<std::vector<int>*>(param);
  if (ClassOf(child) == u"Button") ids->push_back(GetDlgCtrlID(child));
  return TRUE;
}

std::vector<int> ButtonsOf(HWND window) {
  std::vector<int> ids;
  EnumChildWindows(window, CollectButtons, reinterpret_cast<LPARAM>(&ids));
  std::sort(ids.begin(), ids.end());
  return ids;
}

}  // namespace

std::vector<HWND> FindBoxes(DWORD pid) {
  Search s{pid, {}, L"#32770", true};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&s));
  std::vector<HWND> boxes;
  for (HWND h : s.found)
    if (!ButtonsOf(h).empty()) boxes.push_back(h);
  return boxes;
}

HWND FindProcessWindow(DWORD pid, const wchar_t* className) {
  Search s{pid, {}, className, false};
  EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&s));
  return s.found.empty() ? nullptr : s.found.front();
}

bool ReadBox(HWND window, Box* box) {
  if (!IsWindow(window)) return false;
  box->window = window;
  box->caption = WindowText(window);
  // A message box shows its text in the static control 0xFFFF.
  HWND text = GetDlgItem(window, 0xFFFF);
  box->text = text ? WindowText(text) : std::u16string();
  box->buttons = ButtonsOf(window);
  return true;
}

bool PressButton(HWND window, int id, DWORD timeoutMs) {
  HWND button = GetDlgItem(window, id);
  if (!button) return false;
  PostMessageW(window, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
  for (DWORD waited = 0; waited < timeoutMs; waited += 20) {
    if (!IsWindow(window) || !IsWindowVisible(window)) return true;
    Sleep(20);
  }
  return false;
}

Process::~Process() { Kill(); }

bool Process::Start(const std::u16string& exe, const std::u16string& folder,
                    const std::vector<std::u16string>& extraEnv, const std::u16string& arguments) {
  // The caller's environment with the extra entries replacing same-named ones.
  std::vector<std::u16string> env;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; p && *p; p += wcslen(p) + 1) {
    std::u16string entry(reinterpret_cast<const char16_t*>(p));
    bool replaced = false;
    for (const std::u16string& extra : extraEnv) {
      size_t eq = extra.find(u'=');
      if (eq != std::u16string::npos && entry.size() > eq && entry.compare(0, eq + 1, extra, 0, eq + 1) == 0)
        replaced = true;
    }
    if (!replaced) env.push_back(entry);
  }
  if (block) FreeEnvironmentStringsW(block);
  for (const std::u16string& extra : extraEnv) env.push_back(extra);
  std::u16string envBlock;
  for (const std::u16string& e : env) envBlock += e + u'\0';
  envBlock += u'\0';

  // A crash of the program must end it, not start the system's debugger and
  // leave it waiting: the error mode is inherited by the child.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  std::u16string commandLine = u"\"" + exe + u"\"";
  if (!arguments.empty()) commandLine += u" " + arguments;
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  startTicks_ = NowTicks();
  // Under a loaded Wine a start has been seen refused once in a full run:
  // try a few times before failing the test, and say why when it stays
  // refused.
  bool started = false;
  DWORD error = 0;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt) Sleep(200);
    started = CreateProcessW(W(exe), reinterpret_cast<wchar_t*>(&commandLine[0]), nullptr, nullptr, FALSE,
                             CREATE_UNICODE_ENVIRONMENT, const_cast<char16_t*>(envBlock.c_str()), W(folder), &si,
                             &pi) != 0;
    if (!started) error = GetLastError();
  }
  if (!started) {
    fprintf(stderr, "CreateProcessW failed with error %lu\n", static_cast<unsigned long>(error));
    return false;
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  return true;
}

bool Process::WaitBox(Box* box, DWORD timeoutMs) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    std::vector<HWND> boxes = FindBoxes(pid_);
    if (!boxes.empty()) {
      // Let the box finish painting its text before it is read.
      Sleep(50);
      if (ReadBox(boxes.front(), box)) return true;
    }
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) return false;
  }
  return false;
}

bool Process::WaitExit(DWORD timeoutMs, Box* stray, DWORD* exitCode) {
  for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
    if (WaitForSingleObject(process_, 20) == WAIT_OBJECT_0) {
      if (exitCode) GetExitCodeProcess(process_, exitCode);
      return true;
    }
    std::vector<HWND> boxes = FindBoxes(pid_);
    if (!boxes.empty() && stray) {
      Sleep(50);
      ReadBox(boxes.front(), stray);
      return false;
    }
  }
  return false;
}

namespace {

uint64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A crashing program may have started the system debugger, which would
// wait for ever: end every process it started. A process id is used again
// once its process is gone, so a process that merely names `pid` as its
// parent may be older than the program (Wine's services, started by a
// wineboot long ended, often do): only those created after it are its own.
void KillChildrenOf(HANDLE parent, DWORD pid) {
  const uint64_t born = CreationTime(parent);
  if (born == 0) return;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W e;
  e.dwSize = sizeof e;
  for (BOOL more = Process32FirstW(snap, &e); more; more = Process32NextW(snap, &e)) {
    if (e.th32ParentProcessID != pid || e.th32ProcessID == pid) continue;
    HANDLE child = OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, e.th32ProcessID);
    if (!child) continue;
    if (CreationTime(child) >= born) TerminateProcess(child, 1);
    CloseHandle(child);
  }
  CloseHandle(snap);
}

}  // namespace

void SetWineDefaultsForUpdater(bool noCrashDialog) {
  auto set = [](const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
      return;
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  };
  set(L"Software\\Wine\\AppDefaults\\updater.exe\\X11 Driver", L"Managed", REG_SZ, L"N", 4);
  const DWORD off = 0;
  if (noCrashDialog) set(L"Software\\Wine\\WineDbg", L"ShowCrashDialog", REG_DWORD, &off, sizeof off);
}

void Process::Kill() {
  if (!process_) return;
  KillChildrenOf(process_, pid_);
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 5000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

RECT ClientRectOnScreen(HWND window) {
  RECT r = {0, 0, 0, 0};
  GetClientRect(window, &r);
  POINT p = {0, 0};
  ClientToScreen(window, &p);
  OffsetRect(&r, p.x, p.y);
  return r;
}

std::vector<uint32_t> CaptureScreen(const RECT& rect) {
  const int w = rect.right - rect.left;
  const int h = rect.bottom - rect.top;
  std::vector<uint32_t> pixels;
  if (w <= 0 || h <= 0) return pixels;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO bmi = {};
  bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bmi.bmiHeader.biWidth = w;
  bmi.bmiHeader.biHeight = -h;  // top-down
  bmi.bmiHeader.biPlanes = 1;
  bmi.bmiHeader.biBitCount = 32;
  bmi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP dib = CreateDIBSection(memory, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (dib && bits) {
    HGDIOBJ old = SelectObject(memory, dib);
    if (BitBlt(memory, 0, 0, w, h, screen, rect.left, rect.top, SRCCOPY)) {
      GdiFlush();
      const uint32_t* p = static_cast<const uint32_t*>(bits);
      pixels.assign(p, p + static_cast<size_t>(w) * h);
      for (uint32_t& px : pixels) px &= 0xFFFFFF;
    }
    SelectObject(memory, old);
  }
  if (dib) DeleteObject(dib);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return pixels;
}

bool SaveBmp(const std::u16string& path, int width, int height, const std::vector<uint32_t>& pixels) {
  if (width <= 0 || height <= 0 || pixels.size() != static_cast<size_t>(width) * height) return false;
  return WriteFileBytes(path, BmpFile(width, height, pixels));
}

}  // namespace e2e
