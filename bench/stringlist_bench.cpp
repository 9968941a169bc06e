// install.log round trip at scale: a 100,000-line file is loaded, extended,
// sorted and de-duplicated, and saved, each step timed. Prints one line per
// step and the total in milliseconds.
//
// Usage: stringlist_bench [lines] [folder]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "file/textutil.h"
#include "file/ztFile.h"
#include "file/ztStringList.h"
#include "platform/ztHeap.h"

namespace {

double Ms(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

std::u16string Widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

}  // namespace

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::string folder = argc > 2 ? argv[2] : ".";
  ztHeapCreate(0xA00000);

  // Entries like an installation's: quoted relative paths in a few hundred
  // folders, in random order, every tenth one repeated in another case.
  std::mt19937 rng(12345);
  std::string text;
  text.reserve(static_cast<size_t>(lines) * 48);
  for (int i = 0; i < lines; ++i) {
    unsigned id = rng() % (static_cast<unsigned>(lines) * 9 / 10 + 1);
    char line[96];
    std::snprintf(line, sizeof line, "\"data\\Folder%03u\\sub%02u\\File%07u.dat\"\r\n", id % 397,
                  id % 23, id);
    std::string l = line;
    if (i % 10 == 0)
      for (char& c : l) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    text += l;
  }
  std::u16string path = Widen(folder + "\\install.log");
  {
    ztFile f;
    if (!f.Open(path.c_str(), ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS) ||
        f.Write(text.data(), static_cast<uint32_t>(text.size())) !=
            static_cast<int32_t>(text.size())) {
      std::fprintf(stderr, "cannot write the sample file\n");
      return 1;
    }
  }

  ztStringList list;
  auto t0 = std::chrono::steady_clock::now();
  if (!list.LoadText(path.c_str())) {
    std::fprintf(stderr, "load failed\n");
    return 1;
  }
  auto t1 = std::chrono::steady_clock::now();
  for (int i = 0; i < 1000; ++i) {
    char16_t entry[64];
    char narrow[64];
    std::snprintf(narrow, sizeof narrow, "\"data\\new\\file%04d.dat\"", i);
    (void)FromUtf8(narrow, entry);
    list.Add(entry);
  }
  size_t before = list.Count();
  auto t2 = std::chrono::steady_clock::now();
  list.SortUnique();
  auto t3 = std::chrono::steady_clock::now();
  if (!list.SaveText(path.c_str())) {
    std::fprintf(stderr, "save failed\n");
    return 1;
  }
  auto t4 = std::chrono::steady_clock::now();

  std::printf("lines loaded       %d\n", lines);
  std::printf("entries sorted     %zu -> %zu\n", before, list.Count());
  std::printf("LoadText           %8.1f ms\n", Ms(t0, t1));
  std::printf("SortUnique         %8.1f ms\n", Ms(t2, t3));
  std::printf("SaveText           %8.1f ms\n", Ms(t3, t4));
  std::printf("total              %8.1f ms\n", Ms(t0, t4) - Ms(t1, t2));
  ztFile remover;
  remover.Remove(path.c_str(), 1);
  return 0;
}
