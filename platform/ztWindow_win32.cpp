#include "platform/ztWindow.h"

#include "platform/ztDebug.h"
#include "platform/ztWide.h"

namespace {

// Copies at most cap - 1 units; names are short identifiers, never cut in
// practice, and a cut name still registers consistently with Unregister.
void CopyName(char16_t* out, size_t cap, const char16_t* text) {
  size_t n = 0;
  for (; text && text[n] && n + 1 < cap; ++n) out[n] = text[n];
  out[n] = 0;
}

}  // namespace

ztWindowClass::ztWindowClass() : description_(), className_(), menuName_() {}

int ztWindowClass::Register(const char16_t* className, WNDPROC windowProc, HINSTANCE instance, HICON largeIcon,
                            HICON smallIcon, HBRUSH background, const char16_t* menuName, HCURSOR cursor,
                            UINT classStyle) {
  CopyName(className_, 256, className);
  CopyName(menuName_, 256, menuName);
  WNDCLASSEXW& d = description_;
  ZeroMemory(&d, sizeof(d));
  d.cbSize = sizeof(WNDCLASSEXW);
  d.style = classStyle;
  d.lpfnWndProc = windowProc;
  d.cbClsExtra = 0;
  d.cbWndExtra = 0;
  d.hInstance = instance;
  d.hIcon = largeIcon ? largeIcon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  d.hCursor = cursor ? cursor : LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  d.hbrBackground = background ? background : static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  d.lpszMenuName = menuName ? W(menuName_) : nullptr;
  d.lpszClassName = W(className_);
  d.hIconSm = smallIcon ? smallIcon : LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  atom_ = RegisterClassExW(&d);
  return atom_ ? 1 : 0;
}

void ztWindowClass::Unregister() {
  if (!atom_) return;
  UnregisterClassW(W(className_), description_.hInstance);
  atom_ = 0;
}

void CentreRectOnScreenOf(RECT* rect, int screenWidth, int screenHeight, DWORD style, DWORD exStyle, BOOL hasMenu) {
  if (!rect) {
    // "rect構造体が未定義です"
    AssertBox("rect\x8d\x5c\x91\xa2\x91\xcc\x82\xaa\x96\xa2\x92\xe8\x8b\x60\x82\xc5\x82\xb7");
  }
  const LONG w = rect->right;
  const LONG h = rect->bottom;
  RECT r;
  r.left = (screenWidth - w) / 2;
  r.top = (screenHeight - h) / 2;
  r.right = r.left + w;
  r.bottom = r.top + h;
  BOOL ok = exStyle == static_cast<DWORD>(-1) ? AdjustWindowRect(&r, style, hasMenu)
                                              : AdjustWindowRectEx(&r, style, hasMenu, exStyle);
  if (ok) *rect = r;
}

void CentreRectOnScreen(RECT* rect, DWORD style, DWORD exStyle, BOOL hasMenu) {
  CentreRectOnScreenOf(rect, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), style, exStyle, hasMenu);
}

int CentreWindowOver(HWND owner, HWND window) {
  RECT o = {0, 0, 0, 0};
  RECT w = {0, 0, 0, 0};
  if (!IsWindow(owner) || !IsWindow(window)) return 0;
  GetWindowRect(owner, &o);
  GetWindowRect(window, &w);
  const LONG x = o.left + ((o.right - o.left) - (w.right - w.left)) / 2;
  const LONG y = o.top + ((o.bottom - o.top) - (w.bottom - w.top)) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
  return 1;
}
