// The fuzz targets' entry functions. Each takes one input as raw bytes and
// drives one reader of the library with it; whatever the bytes, it must
// return without a crash, a sanitizer report, a leaked heap block or a hang.
//
// The same functions run in two places: inside libFuzzer (fuzz/fuzz_main.cpp,
// one binary per target, host build with clang and the sanitizers) and in the
// crash replay test (tests/crashers), which feeds them every reproducer kept
// under tests/data/crashers/<target>/ in the normal builds, Windows included.
//
// An entry returns 0. What a reader answers is not judged here, except for
// the round trips, which stop the process (ztFuzzFail) when the decoded
// pixels differ from the encoded ones: that is a lost-data bug, not a
// rejected input.
#pragma once
#include <cstddef>
#include <cstdint>

using ztFuzzEntry = int (*)(const uint8_t* data, size_t size);

int ztFuzzXml(const uint8_t* data, size_t size);
int ztFuzzDescription(const uint8_t* data, size_t size);
int ztFuzzDiscovery(const uint8_t* data, size_t size);
int ztFuzzVersion(const uint8_t* data, size_t size);
int ztFuzzManifest(const uint8_t* data, size_t size);
int ztFuzzStringList(const uint8_t* data, size_t size);
int ztFuzzArchive(const uint8_t* data, size_t size);
int ztFuzzImageHolder(const uint8_t* data, size_t size);
int ztFuzzRa3(const uint8_t* data, size_t size);
int ztFuzzZo2(const uint8_t* data, size_t size);
int ztFuzzBmp(const uint8_t* data, size_t size);
int ztFuzzPsd(const uint8_t* data, size_t size);
int ztFuzzZtf(const uint8_t* data, size_t size);
int ztFuzzZure(const uint8_t* data, size_t size);
int ztFuzzJpeg(const uint8_t* data, size_t size);
int ztFuzzPng(const uint8_t* data, size_t size);
int ztFuzzWebP(const uint8_t* data, size_t size);
int ztFuzzZureRoundTrip(const uint8_t* data, size_t size);
int ztFuzzZo2RoundTrip(const uint8_t* data, size_t size);
int ztFuzzFileServer(const uint8_t* data, size_t size);
// A base and a delta: the first two bytes give the base's length.
int ztFuzzDelta(const uint8_t* data, size_t size);

// The key of every enciphered archive the archive target opens (and the
// seed corpus makes).
extern const char kZtFuzzArchiveKey[];

struct ztFuzzTarget {
  const char* name;  // the folder name under tests/data/crashers and fuzz/corpus
  ztFuzzEntry entry;
};

// Every target, in a fixed order; `count` receives the number of rows.
const ztFuzzTarget* ztFuzzTargets(size_t* count);
// The row of `name`, or null.
const ztFuzzTarget* ztFuzzFindTarget(const char* name);

// The letters the file-server target spells names with: a byte of a name
// below 0xC0 is an index into it (the seeds spell their names so).
extern const char16_t kZtFuzzNameAlphabet[];
