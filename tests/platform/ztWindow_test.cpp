#include "platform/ztWindow.h"

#include <gtest/gtest.h>

#include "tests/common/testutil.h"

namespace {

constexpr DWORD kPopup = WS_POPUP | WS_VISIBLE | WS_BORDER;

RECT Grown(RECT r, DWORD style) {
  AdjustWindowRectEx(&r, style, FALSE, 0);
  return r;
}

void ExpectRect(const RECT& r, LONG l, LONG t, LONG rr, LONG b) {
  EXPECT_EQ(r.left, l);
  EXPECT_EQ(r.top, t);
  EXPECT_EQ(r.right, rr);
  EXPECT_EQ(r.bottom, b);
}

}  // namespace

TEST(CentreRectOnScreen, ClientCentredThenGrownByTheFrame) {
  RECT r = {0, 0, 1, 1};
  CentreRectOnScreenOf(&r, 1920, 1080, kPopup, 0, FALSE);
  RECT want = Grown({959, 539, 960, 540}, kPopup);
  ExpectRect(r, want.left, want.top, want.right, want.bottom);
  // The frame of a bordered popup is one pixel.
  ExpectRect(r, 958, 538, 961, 541);
}

TEST(CentreRectOnScreen, LargerThanTheScreenGivesNegativeCorner) {
  RECT r = {0, 0, 2001, 1101};
  CentreRectOnScreenOf(&r, 1920, 1080, WS_POPUP, 0, FALSE);
  ExpectRect(r, -40, -10, -40 + 2001, -10 + 1101);  // (1920-2001)/2 truncates toward zero
}

TEST(CentreRectOnScreen, ExtendedStyleMinusOneUsesTheOldAdjustment) {
  RECT a = {0, 0, 100, 50};
  RECT b = {0, 0, 100, 50};
  CentreRectOnScreenOf(&a, 800, 600, WS_OVERLAPPEDWINDOW, static_cast<DWORD>(-1), FALSE);
  CentreRectOnScreenOf(&b, 800, 600, WS_OVERLAPPEDWINDOW, 0, FALSE);
  ExpectRect(a, b.left, b.top, b.right, b.bottom);
  EXPECT_LT(a.top, 275);  // grown by the caption
}

TEST(CentreRectOnScreen, UsesThePrimaryScreen) {
  RECT r = {0, 0, 10, 20};
  CentreRectOnScreen(&r, WS_POPUP, 0, FALSE);
  EXPECT_EQ(r.left, (GetSystemMetrics(SM_CXSCREEN) - 10) / 2);
  EXPECT_EQ(r.top, (GetSystemMetrics(SM_CYSCREEN) - 20) / 2);
}

TEST(CentreRectOnScreen, NullRectIsAProgrammingError) {
  EXPECT_THROW(CentreRectOnScreen(nullptr, WS_POPUP, 0, FALSE), zt_test::AssertFired);
  try {
    CentreRectOnScreen(nullptr, WS_POPUP, 0, FALSE);
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, zt_test::Cp932(u8"rect構造体が未定義です"));
  }
}

class WindowHelpers : public ::testing::Test {
 protected:
  void TearDown() override {
    if (window_) DestroyWindow(window_);
    if (owner_) DestroyWindow(owner_);
    cls_.Unregister();
  }
  HWND Make(int x, int y, int w, int h) {
    return CreateWindowExW(0, L"zt-window-test", L"", WS_POPUP, x, y, w, h, nullptr, nullptr, GetModuleHandleW(nullptr),
                           nullptr);
  }
  ztWindowClass cls_;
  HWND owner_ = nullptr;
  HWND window_ = nullptr;
};

TEST_F(WindowHelpers, RegisterFillsTheDefaults) {
  ASSERT_EQ(cls_.Register(u"zt-window-test", DefWindowProcW, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                          nullptr, nullptr, CS_HREDRAW | CS_VREDRAW),
            1);
  const WNDCLASSEXW& d = cls_.GetDescription();
  EXPECT_NE(cls_.GetAtom(), 0);
  EXPECT_EQ(d.cbSize, sizeof(WNDCLASSEXW));
  EXPECT_EQ(d.style, static_cast<UINT>(CS_HREDRAW | CS_VREDRAW));
  EXPECT_EQ(d.cbClsExtra, 0);
  EXPECT_EQ(d.cbWndExtra, 0);
  EXPECT_EQ(d.hIcon, LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION)));
  EXPECT_EQ(d.hIconSm, LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION)));
  EXPECT_EQ(d.hCursor, LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW)));
  EXPECT_EQ(d.hbrBackground, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  EXPECT_EQ(d.lpszMenuName, nullptr);
  WNDCLASSEXW got = {};
  got.cbSize = sizeof got;
  EXPECT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"zt-window-test", &got));
  cls_.Unregister();
  EXPECT_EQ(cls_.GetAtom(), 0);
  EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), L"zt-window-test", &got));
}

TEST_F(WindowHelpers, AFailedRegistrationIsNotUnregistered) {
  ASSERT_EQ(cls_.Register(u"zt-window-test", DefWindowProcW, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                          nullptr, nullptr, 0),
            1);
  ztWindowClass twice;
  EXPECT_EQ(twice.Register(u"zt-window-test", DefWindowProcW, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                           nullptr, nullptr, 0),
            0);
  EXPECT_EQ(twice.GetAtom(), 0);
  twice.Unregister();  // must leave the first registration alone
  WNDCLASSEXW got = {};
  got.cbSize = sizeof got;
  EXPECT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), L"zt-window-test", &got));
}

TEST_F(WindowHelpers, CentreWindowOverItsOwner) {
  ASSERT_EQ(cls_.Register(u"zt-window-test", DefWindowProcW, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                          nullptr, nullptr, 0),
            1);
  owner_ = Make(100, 50, 401, 301);
  window_ = Make(0, 0, 100, 40);
  ASSERT_TRUE(owner_ && window_);
  EXPECT_EQ(CentreWindowOver(owner_, window_), 1);
  RECT w;
  GetWindowRect(window_, &w);
  ExpectRect(w, 100 + (401 - 100) / 2, 50 + (301 - 40) / 2, 100 + (401 - 100) / 2 + 100, 50 + (301 - 40) / 2 + 40);
  // A window larger than its owner ends up left of and above the owner.
  SetWindowPos(window_, nullptr, 0, 0, 501, 401, SWP_NOZORDER | SWP_NOMOVE);
  EXPECT_EQ(CentreWindowOver(owner_, window_), 1);
  GetWindowRect(window_, &w);
  EXPECT_EQ(w.left, 100 + (401 - 501) / 2);
  EXPECT_EQ(w.top, 50 + (301 - 401) / 2);
  EXPECT_EQ(w.right - w.left, 501);
}

TEST_F(WindowHelpers, CentreWindowOverNeedsTwoWindows) {
  EXPECT_EQ(CentreWindowOver(nullptr, nullptr), 0);
  ASSERT_EQ(cls_.Register(u"zt-window-test", DefWindowProcW, GetModuleHandleW(nullptr), nullptr, nullptr, nullptr,
                          nullptr, nullptr, 0),
            1);
  window_ = Make(10, 20, 30, 40);
  EXPECT_EQ(CentreWindowOver(nullptr, window_), 0);
  RECT w;
  GetWindowRect(window_, &w);
  EXPECT_EQ(w.left, 10);
}
