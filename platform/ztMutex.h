// ztMutex: a named mutex created owned and held for the object's lifetime.
// The updater uses two of them to refuse to run next to the game or its
// configuration tool: whichever process creates a name second is told that
// it already exists.
//
// Windows build only.
#pragma once

#include <cstdint>

class ztMutex {
 public:
  ztMutex() = default;
  // Closes the handle, which releases ownership.
  ~ztMutex();
  ztMutex(const ztMutex&) = delete;
  ztMutex& operator=(const ztMutex&) = delete;

  // Creates (or opens) the mutex `name` (at most 1023 units are used) with
  // this thread as initial owner. `alreadyExists` becomes 0 only when a
  // handle came back and the system reported neither "already exists" nor
  // "invalid handle" (a name taken by another kind of object); every failure
  // counts as "exists", so a caller never runs beside the holder by mistake.
  // Returns 1 when a handle came back, else 0. A second Create on the same
  // object releases the first mutex.
  [[nodiscard]] int32_t Create(const char16_t* name, int32_t* alreadyExists);

  intptr_t GetHandle() const { return handle_; }

 private:
  intptr_t handle_ = 0;
};
