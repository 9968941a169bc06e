#include "platform/ztMutex.h"

#include <windows.h>

ztMutex::~ztMutex() {
  if (handle_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = 0;
}

int32_t ztMutex::Create(const char16_t* name, int32_t* alreadyExists) {
  char16_t copy[1024];
  size_t n = 0;
  for (; name && name[n] && n < 1023; ++n) copy[n] = name[n];
  copy[n] = 0;
  if (alreadyExists) *alreadyExists = 1;
  if (handle_) {
    CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = 0;
  }
  // Clear the last error first: a successful creation of a new mutex is not
  // guaranteed to reset it, and a stale 183 would look like "exists".
  SetLastError(ERROR_SUCCESS);
  HANDLE h = CreateMutexW(nullptr, TRUE, reinterpret_cast<const wchar_t*>(copy));
  DWORD error = GetLastError();
  handle_ = reinterpret_cast<intptr_t>(h);
  if (h && error != ERROR_ALREADY_EXISTS && error != ERROR_INVALID_HANDLE && alreadyExists)
    *alreadyExists = 0;
  return h ? 1 : 0;
}
