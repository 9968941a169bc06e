// The libFuzzer side of one target: set-up once, then every input through
// the target's entry function with the leak check around it. The entry is
// chosen at compile time (ZT_FUZZ_ENTRY), one binary per target.
#include <cstddef>
#include <cstdint>

#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

#ifndef ZT_FUZZ_ENTRY
#error "ZT_FUZZ_ENTRY names the target's entry function"
#endif

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ztFuzzSetUp();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ztFuzzRun(ZT_FUZZ_ENTRY, data, size);
  return 0;
}
