// What the fuzz entry functions share: the process set-up both drivers make,
// scratch files for readers that only take a path, the leak check around one
// input, and the way a target reports a wrong result.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// Heap and limits as the targets expect them; safe to call more than once.
// The picture limits are lowered so that a header claiming a huge picture is
// refused quickly instead of making every input allocate and clear a
// gigabyte: the decoders' refusal paths are what is being exercised, and
// they are the same at any limit.
void ztFuzzSetUp();

// Path of a scratch file `name` in a folder of this process (made on first
// use, removed at exit). Readers that take a path read the input from there.
std::u16string ztFuzzScratchPath(const char* name);
// Writes the bytes to `path`, replacing the file. False when that failed.
bool ztFuzzWriteFile(const std::u16string& path, const uint8_t* data, size_t size);

// Reports a wrong result (lost data in a round trip, a leaked heap block):
// by default the text goes to stderr and the process aborts, which libFuzzer
// records as a crash with the input. The replay test installs a handler that
// fails the current test instead; the handler must not return.
[[noreturn]] void ztFuzzFail(const char* format, ...);
using ztFuzzFailHandler = void (*)(const char* text);
void ztFuzzSetFailHandler(ztFuzzFailHandler handler);

// Runs one input through `entry` and fails when heap blocks are left over.
int ztFuzzRun(int (*entry)(const uint8_t*, size_t), const uint8_t* data, size_t size);

// A small reader over the input for targets that take parameters from it
// (frame index, picture size): never reads past the end, zero once empty.
class ztFuzzInput {
 public:
  ztFuzzInput(const uint8_t* data, size_t size) : data_(data), left_(size) {}
  uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *data_++;
  }
  uint32_t U16() { return static_cast<uint32_t>(Byte()) | static_cast<uint32_t>(Byte()) << 8; }
  uint32_t U32() { return U16() | U16() << 16; }
  const uint8_t* Rest() const { return data_; }
  size_t Left() const { return left_; }

 private:
  const uint8_t* data_;
  size_t left_;
};
