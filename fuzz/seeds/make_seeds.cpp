// Writes the seed corpus of the fuzz targets for libFuzzer.
//
//   zt_fuzz_seeds OUTDIR TARGET   the seeds of TARGET into OUTDIR
//   zt_fuzz_seeds OUTDIR all      one sub-folder per target
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz/seeds/seeds.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

namespace fs = std::filesystem;

namespace {

bool WriteTarget(const fs::path& out, const std::string& target) {
  if (!ztFuzzFindTarget(target.c_str())) {
    std::fprintf(stderr, "unknown target %s\n", target.c_str());
    return false;
  }
  std::error_code ec;
  fs::create_directories(out, ec);
  int count = 0;
  for (const ztFuzzSeed& seed : ztFuzzMakeSeeds(target)) {
    if (seed.bytes.empty()) {
      std::fprintf(stderr, "%s: seed %s came out empty\n", target.c_str(), seed.name.c_str());
      return false;
    }
    std::ofstream file(out / seed.name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(seed.bytes.data()), static_cast<std::streamsize>(seed.bytes.size()));
    if (!file) return false;
    ++count;
  }
  std::printf("%s: %d seed file(s) in %s\n", target.c_str(), count, out.string().c_str());
  return count > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s OUTDIR TARGET|all\n", argv[0]);
    return 2;
  }
  ztFuzzSetUp();
  const std::string target = argv[2];
  if (target != "all") return WriteTarget(argv[1], target) ? 0 : 1;
  size_t count = 0;
  const ztFuzzTarget* all = ztFuzzTargets(&count);
  bool ok = true;
  for (size_t i = 0; i < count; ++i) ok = WriteTarget(fs::path(argv[1]) / all[i].name, all[i].name) && ok;
  return ok ? 0 : 1;
}
