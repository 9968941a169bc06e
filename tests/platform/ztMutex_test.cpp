#include "platform/ztMutex.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

namespace {

std::u16string UniqueName(const char16_t* what) {
  std::u16string name = u"zt-test-";
  name += what;
  name += u'-';
  for (char c : std::to_string(GetCurrentProcessId())) name += static_cast<char16_t>(c);
  return name;
}

// Runs ztMutex_helper.exe from this program's folder with `name`; returns its
// exit code, or -1 when it could not be run.
int RunHelper(const std::u16string& name) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return -1;
  std::wstring exe(self, n);
  exe.erase(exe.find_last_of(L"\\/") + 1);
  exe += L"ztMutex_helper.exe";
  std::wstring cmd = L"\"" + exe + L"\" \"" + std::wstring(name.begin(), name.end()) + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
    return -1;
  WaitForSingleObject(pi.hProcess, 30000);
  DWORD code = 0xFFFFFFFF;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

}  // namespace

TEST(Mutex, FirstCreatorIsToldItIsNew) {
  ztMutex m;
  int32_t exists = -1;
  EXPECT_EQ(m.Create(UniqueName(u"new").c_str(), &exists), 1);
  EXPECT_EQ(exists, 0);
  EXPECT_NE(m.GetHandle(), 0);
}

TEST(Mutex, SecondProcessIsToldItExistsUntilTheFirstLetsGo) {
  std::u16string name = UniqueName(u"two-processes");
  ASSERT_EQ(RunHelper(name), 0);  // nobody holds it yet
  {
    ztMutex m;
    int32_t exists = -1;
    ASSERT_EQ(m.Create(name.c_str(), &exists), 1);
    EXPECT_EQ(exists, 0);
    EXPECT_EQ(RunHelper(name), 1);
  }
  // The destructor closed the handle: the name is free again.
  EXPECT_EQ(RunHelper(name), 0);
}

TEST(Mutex, SecondObjectInOneProcessIsToldItExists) {
  std::u16string name = UniqueName(u"same-process");
  ztMutex a, b;
  int32_t ea = -1, eb = -1;
  EXPECT_TRUE(a.Create(name.c_str(), &ea));
  EXPECT_TRUE(b.Create(name.c_str(), &eb));
  EXPECT_EQ(ea, 0);
  EXPECT_EQ(eb, 1);
  EXPECT_NE(b.GetHandle(), 0);  // the handle is kept
}

TEST(Mutex, NameHeldByAnEventCountsAsExisting) {
  std::u16string name = UniqueName(u"event");
  HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, reinterpret_cast<const wchar_t*>(name.c_str()));
  ASSERT_NE(ev, nullptr);
  ztMutex m;
  int32_t exists = -1;
  EXPECT_EQ(m.Create(name.c_str(), &exists), 0);
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(m.GetHandle(), 0);
  CloseHandle(ev);
}

TEST(Mutex, EmptyNameNeverExists) {
  ztMutex a, b;
  int32_t ea = -1, eb = -1;
  EXPECT_EQ(a.Create(u"", &ea), 1);
  EXPECT_EQ(b.Create(u"", &eb), 1);
  EXPECT_EQ(ea, 0);
  EXPECT_EQ(eb, 0);
}

TEST(Mutex, StaleLastErrorDoesNotCountAsExisting) {
  ztMutex m;
  int32_t exists = -1;
  SetLastError(ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(m.Create(UniqueName(u"stale").c_str(), &exists));
  EXPECT_EQ(exists, 0);
}

TEST(Mutex, OnlyTheFirst1023UnitsOfANameAreUsed) {
  std::u16string prefix = UniqueName(u"long");
  prefix.resize(1023, u'x');
  std::u16string longer = prefix + u"-and-more-beyond-the-limit";
  ztMutex a, b;
  int32_t ea = -1, eb = -1;
  EXPECT_TRUE(a.Create(prefix.c_str(), &ea));
  EXPECT_TRUE(b.Create(longer.c_str(), &eb));
  EXPECT_EQ(ea, 0);
  EXPECT_EQ(eb, 1);
}

TEST(Mutex, CreatingAgainReleasesTheFirstMutex) {
  std::u16string first = UniqueName(u"again-1");
  ztMutex m;
  int32_t exists = -1;
  EXPECT_TRUE(m.Create(first.c_str(), &exists));
  EXPECT_TRUE(m.Create(UniqueName(u"again-2").c_str(), &exists));
  ztMutex other;
  EXPECT_TRUE(other.Create(first.c_str(), &exists));
  EXPECT_EQ(exists, 0);
}
