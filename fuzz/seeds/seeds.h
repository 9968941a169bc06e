// The seed corpus of each fuzz target, made in code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct ztFuzzSeed {
  std::string name;
  std::vector<uint8_t> bytes;
};

// The seeds of `target` (a name from ztFuzzTargets); empty for an unknown
// name. Needs ztFuzzSetUp (the heap) first.
std::vector<ztFuzzSeed> ztFuzzMakeSeeds(const std::string& target);
