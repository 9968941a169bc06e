#include "platform/ztDebug.h"

#include <cstdio>
#include <cstdlib>

#include "platform/sysdep.h"

namespace {

// The log is never enabled and no receiver exists in this program; the state
// is kept so that shut-down behaves as it would with one.
int g_enabled = 0;
ztDebugHook g_logHook = nullptr;
void* g_logUser = nullptr;
ztDebugHook g_assertHook = nullptr;
void* g_assertUser = nullptr;

// UTF-16 printf: only what the library's own formats use (%s with a UTF-16
// argument, %d, %u, %x, %c, %%); everything is cut to `cap` - 1 units.
void FormatW(char16_t* out, int cap, const char16_t* format, va_list args) {
  int n = 0;
  auto put = [&](char16_t c) {
    if (n < cap - 1) out[n++] = c;
  };
  for (const char16_t* p = format; p && *p; ++p) {
    if (*p != u'%') {
      put(*p);
      continue;
    }
    ++p;
    if (!*p) break;
    switch (*p) {
      case u's': {
        const char16_t* s = va_arg(args, const char16_t*);
        for (; s && *s; ++s) put(*s);
        break;
      }
      case u'd':
      case u'u':
      case u'x': {
        char digits[24];
        if (*p == u'd') {
          std::snprintf(digits, sizeof digits, "%d", va_arg(args, int));
        } else {
          std::snprintf(digits, sizeof digits, *p == u'u' ? "%u" : "%x", va_arg(args, unsigned));
        }
        for (const char* d = digits; *d; ++d) put(static_cast<char16_t>(*d));
        break;
      }
      case u'c': put(static_cast<char16_t>(va_arg(args, int))); break;
      default: put(*p);
    }
  }
  out[n] = 0;
}

// Narrow form of a UTF-16 text for the hooks: code page 932 like the rest of
// the library's messages.
void Narrow(const char16_t* text, char* out, int cap) { zt_sys::Utf16ToCp932(text, out, cap); }

// A UTF-16 format and its arguments as narrow text; a CP932 character takes
// at most two bytes, so `out` holds twice the wide limit.
constexpr int kNarrowTextMax = ZT_DEBUG_TEXT_MAX * 2 + 1;
void FormatNarrow(char (&out)[kNarrowTextMax], const char16_t* format, va_list args) {
  char16_t wide[ZT_DEBUG_TEXT_MAX + 1];
  FormatW(wide, ZT_DEBUG_TEXT_MAX + 1, format, args);
  Narrow(wide, out, kNarrowTextMax);
}

void Deliver(const char* text) {
  if (g_logHook) g_logHook(g_logUser, text);
  // With the log enabled, the text would go to the receiver window here.
}

[[noreturn]] void Assert(const char* text) {
  Deliver(text);
  if (g_assertHook) g_assertHook(g_assertUser, text);
  zt_sys::ShowAssertBox(text);
  std::abort();
}

}  // namespace

void DebugLog(const char* format, ...) {
  char text[ZT_DEBUG_TEXT_MAX + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Deliver(text);
}

void DebugLogW(const char16_t* format, ...) {
  char text[kNarrowTextMax];
  va_list args;
  va_start(args, format);
  FormatNarrow(text, format, args);
  va_end(args);
  Deliver(text);
}

void AssertBox(const char* format, ...) {
  char text[ZT_DEBUG_TEXT_MAX + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Assert(text);
}

void AssertBoxW(const char16_t* format, ...) {
  char text[kNarrowTextMax];
  va_list args;
  va_start(args, format);
  FormatNarrow(text, format, args);
  va_end(args);
  Assert(text);
}

int ShutdownDebugLog() {
  g_enabled = 0;
  (void)g_enabled;
  return 0;  // no receiver was ever created
}

void ztSetDebugLogHook(ztDebugHook hook, void* user) {
  g_logHook = hook;
  g_logUser = user;
}

void ztSetAssertHook(ztDebugHook hook, void* user) {
  g_assertHook = hook;
  g_assertUser = user;
}
