#include <cstring>

#include "fuzz/targets/fuzz_targets.h"

namespace {

const ztFuzzTarget kTargets[] = {
    {"xml", ztFuzzXml},
    {"description", ztFuzzDescription},
    {"discovery", ztFuzzDiscovery},
    {"version", ztFuzzVersion},
    {"manifest", ztFuzzManifest},
    {"stringlist", ztFuzzStringList},
    {"archive", ztFuzzArchive},
    {"image_holder", ztFuzzImageHolder},
    {"ra3", ztFuzzRa3},
    {"zo2", ztFuzzZo2},
    {"bmp", ztFuzzBmp},
    {"psd", ztFuzzPsd},
    {"ztf", ztFuzzZtf},
    {"zure", ztFuzzZure},
    {"jpeg", ztFuzzJpeg},
    {"png", ztFuzzPng},
    {"webp", ztFuzzWebP},
    {"zure_roundtrip", ztFuzzZureRoundTrip},
    {"zo2_roundtrip", ztFuzzZo2RoundTrip},
    {"fileserver", ztFuzzFileServer},
    {"delta", ztFuzzDelta},
};

}  // namespace

const ztFuzzTarget* ztFuzzTargets(size_t* count) {
  *count = sizeof kTargets / sizeof kTargets[0];
  return kTargets;
}

const ztFuzzTarget* ztFuzzFindTarget(const char* name) {
  for (const ztFuzzTarget& t : kTargets)
    if (std::strcmp(t.name, name) == 0) return &t;
  return nullptr;
}
