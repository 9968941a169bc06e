#include "fuzz/targets/fuzzsupport.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "platform/ztHeap.h"
#include "platform/ztLimits.h"

namespace fs = std::filesystem;

namespace {

ztFuzzFailHandler g_failHandler = nullptr;

// The scratch folder of this process, removed when the process ends
// normally (libFuzzer's own exits included).
struct ScratchFolder {
  fs::path path;
  ~ScratchFolder() {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
  }
};

ScratchFolder& Scratch() {
  static ScratchFolder folder;
  if (folder.path.empty()) {
    std::random_device rd;
    std::mt19937 gen(rd());
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = fs::current_path();
    for (int tries = 0; tries < 100; ++tries) {
      char name[32];
      std::snprintf(name, sizeof name, "zt-fuzz-%08x", static_cast<unsigned>(gen()));
      fs::path p = base / name;
      if (fs::create_directory(p, ec)) {
        folder.path = p;
        break;
      }
    }
    if (folder.path.empty()) ztFuzzFail("cannot make a scratch folder under %s", base.string().c_str());
  }
  return folder;
}

}  // namespace

void ztFuzzSetUp() {
  if (!ztHeapExists()) ztHeapCreate(0xA00000);
  // 16 MiB and 4 million pixels: far above any picture of the seed corpus,
  // and small enough that an input claiming the largest picture still runs
  // in milliseconds.
  ztSetLimit(ZTLIMIT_PICTURE_BYTES, 16u << 20);
  ztSetLimit(ZTLIMIT_PICTURE_PIXELS, 4u << 20);
}

std::u16string ztFuzzScratchPath(const char* name) {
  fs::path p = Scratch().path / name;
#ifdef _WIN32
  std::wstring w = p.wstring();
  return std::u16string(w.begin(), w.end());
#else
  std::string s = p.string();
  std::u16string out(s.size() + 1, u'\0');
  (void)FromUtf8(s.c_str(), &out[0], out.size());
  out.resize(TextLength(out.c_str()));
  return out;
#endif
}

bool ztFuzzWriteFile(const std::u16string& path, const uint8_t* data, size_t size) {
  if (size > 0x7FFFFFFFu) return false;
  ztFile file;
  if (!file.Open(path.c_str(), ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) return false;
  bool ok = size == 0 || file.Write(data, static_cast<uint32_t>(size)) == static_cast<int32_t>(size);
  if (!file.Close()) ok = false;
  return ok;
}

void ztFuzzSetFailHandler(ztFuzzFailHandler handler) { g_failHandler = handler; }

void ztFuzzFail(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (g_failHandler) g_failHandler(text);
  std::fprintf(stderr, "zt fuzz target failed: %s\n", text);
  std::fflush(stderr);
  std::abort();
}

int ztFuzzRun(int (*entry)(const uint8_t*, size_t), const uint8_t* data, size_t size) {
  long before = ztHeapLiveBlocks();
  int r = entry(data, size);
  long after = ztHeapLiveBlocks();
  // The private heap keeps its own list of blocks, so the leak sanitizer
  // never sees one that is lost: count them instead.
  if (after != before) ztFuzzFail("%ld private-heap block(s) left after one input", after - before);
  return r;
}
