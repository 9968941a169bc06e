// Diagnostics: the debug log and the assertion box.
//
// Messages are byte strings (the library's own are Japanese in code page 932).
// Nothing in this program attaches a log receiver, so a logged line is
// formatted and dropped, unless a hook is installed (tests do that to see
// what the library reported).
#pragma once

#include <cstdarg>

// Longest formatted text, in characters, excluding the terminator.
constexpr int ZT_DEBUG_TEXT_MAX = 500;

void DebugLog(const char* format, ...);
void DebugLogW(const char16_t* format, ...);

// Shows "Assert message..." with the formatted text and stops the process:
// these are for broken preconditions only, never for bad input.
[[noreturn]] void AssertBox(const char* format, ...);
[[noreturn]] void AssertBoxW(const char16_t* format, ...);

// Called by the library shut-down: disables the log and ends the receiver if
// one exists. Returns the waiting result (0 when there was no receiver).
int ShutdownDebugLog();

// Test hooks. The log hook sees every formatted line, whether the log is
// enabled or not. The assert hook replaces the box; if it returns, the process
// is stopped anyway, so a test hook leaves by throwing.
using ztDebugHook = void (*)(void* user, const char* text);
void ztSetDebugLogHook(ztDebugHook hook, void* user);
void ztSetAssertHook(ztDebugHook hook, void* user);
