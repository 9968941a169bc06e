// Window helpers: a window-class registration record and two routines that
// centre windows (a client rectangle on the screen, a window over its owner).
//
// Windows build only. Like the rest of the window code it needs the Win32
// types in its interface, so this header includes <windows.h>.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>

class ztWindowClass {
 public:
  ztWindowClass();
  // Leaves the class registered: the owner unregisters it explicitly once
  // its last window is gone.
  ~ztWindowClass() = default;
  ztWindowClass(const ztWindowClass&) = delete;
  ztWindowClass& operator=(const ztWindowClass&) = delete;

  // Fills the description and registers it. A null large or small icon
  // becomes the system's application icon, a null cursor the arrow, a null
  // brush the stock black brush. The class name is copied (at most 255
  // units), so the caller's text need not outlive the record. 1 with the
  // atom kept, 0 when the system refused (the atom is then 0).
  [[nodiscard]] int Register(const char16_t* className, WNDPROC windowProc, HINSTANCE instance, HICON largeIcon,
                             HICON smallIcon, HBRUSH background, const char16_t* menuName, HCURSOR cursor,
                             UINT classStyle);
  // Unregisters the class when it was registered; nothing otherwise.
  void Unregister();

  ATOM GetAtom() const { return atom_; }
  const WNDCLASSEXW& GetDescription() const { return description_; }

 private:
  ATOM atom_ = 0;
  WNDCLASSEXW description_;
  char16_t className_[256];
  char16_t menuName_[256];
};

// `rect` comes in as (0, 0, w, h), the wanted client size. It becomes the
// window rectangle, for `style` (and `exStyle`, or AdjustWindowRect when
// exStyle is -1, with `hasMenu`), of a client area of that size centred on
// the primary screen (signed division, so a client larger than the screen
// starts left of or above it). When the system cannot grow the rectangle,
// `rect` is left unchanged. A null rect is a programming error.
void CentreRectOnScreen(RECT* rect, DWORD style, DWORD exStyle, BOOL hasMenu);
// The same on a screen of the given size (CentreRectOnScreen passes the
// primary screen's metrics).
void CentreRectOnScreenOf(RECT* rect, int screenWidth, int screenHeight, DWORD style, DWORD exStyle, BOOL hasMenu);

// Moves `window`, keeping its size and Z order, so that its window rectangle
// is centred over `owner`'s. 1 when it was moved, 0 when either handle is
// not a window.
int CentreWindowOver(HWND owner, HWND window);
