#include "file/ztDelta.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// A pak-like archive: records of incompressible bytes. The new version has
// some records changed, some inserted (shifting everything after them) and
// some removed.
void PakVersions(size_t records, Bytes* base, Bytes* next) {
  std::mt19937 rng(7);
  for (size_t i = 0; i < records; ++i) {
    const Bytes r = Random(2000 + rng() % 6000, static_cast<uint32_t>(i));
    base->insert(base->end(), r.begin(), r.end());
    const uint32_t fate = rng() % 50;
    if (fate == 0) continue;  // removed
    if (fate == 1) {          // changed
      const Bytes c = Random(r.size(), static_cast<uint32_t>(i) + 100000);
      next->insert(next->end(), c.begin(), c.end());
      continue;
    }
    if (fate == 2) {  // a new record before it
      const Bytes n = Random(3000, static_cast<uint32_t>(i) + 200000);
      next->insert(next->end(), n.begin(), n.end());
    }
    next->insert(next->end(), r.begin(), r.end());
  }
}

// Two builds of one program: the same code with a few constants and a
// table moved.
void ProgramVersions(Bytes* base, Bytes* next) {
  *base = Random(300000, 1);
  *next = *base;
  for (size_t at = 1000; at < next->size(); at += 9973) (*next)[at] ^= 0x5A;
  const Bytes table = Random(4096, 2);
  next->insert(next->begin() + 150000, table.begin(), table.end());
}

struct Applied {
  int result = -1;
  Bytes output;
  ztDeltaHeader header;
};

Bytes Make(const Bytes& base, const Bytes& next, ztDeltaMakeOptions options) {
  Bytes delta;
  ztDeltaMakeIo io;
  io.readBase = [&](uint64_t at, void* d, uint32_t n) { return std::memcpy(d, base.data() + at, n), true; };
  io.readNew = [&](uint64_t at, void* d, uint32_t n) { return std::memcpy(d, next.data() + at, n), true; };
  io.writeDelta = [&](const void* d, uint32_t n) {
    const auto* p = static_cast<const uint8_t*>(d);
    delta.insert(delta.end(), p, p + n);
    return true;
  };
  uint64_t size = 0;
  EXPECT_EQ(ztMakeDelta(io, base.size(), next.size(), options, &size), kDeltaOk);
  EXPECT_EQ(size, delta.size());
  return delta;
}

Applied Apply(const Bytes& base, const Bytes& delta) {
  Applied a;
  size_t at = 0;
  ztDeltaApplyIo io;
  io.readBase = [&](uint64_t off, void* d, uint32_t n) {
    if (off > base.size() || n > base.size() - off) return false;
    std::memcpy(d, base.data() + off, n);
    return true;
  };
  io.readDelta = [&](void* d, uint32_t n) {
    if (n > delta.size() - at) return false;
    std::memcpy(d, delta.data() + at, n);
    at += n;
    return true;
  };
  io.writeOutput = [&](const void* d, uint32_t n) {
    const auto* p = static_cast<const uint8_t*>(d);
    a.output.insert(a.output.end(), p, p + n);
    return true;
  };
  a.result = ztApplyDelta(io, base.size(), delta.size(), &a.header);
  return a;
}

ztDeltaMakeOptions Small(uint32_t segment, uint32_t margin) {
  ztDeltaMakeOptions o;
  o.segmentBytes = segment;
  o.marginBytes = margin;
  o.level = 3;
  return o;
}

}  // namespace

// Each kind of change a game update makes comes back byte for byte, with
// one segment and with many (content moved across segment borders by the
// inserted and removed records); where little changed, the delta is small.
TEST(DeltaTest, RoundTripsGeneratedVersions) {
  struct Case {
    const char* name;
    Bytes base, next;
    size_t maxDelta;  // 0: no size goal
  };
  std::vector<Case> cases;
  {
    Case pak{"pak", {}, {}, 0};
    PakVersions(400, &pak.base, &pak.next);
    pak.maxDelta = pak.next.size() / 8;
    cases.push_back(std::move(pak));
  }
  {
    Case program{"program", {}, {}, 0};
    ProgramVersions(&program.base, &program.next);
    program.maxDelta = program.next.size() / 8;
    cases.push_back(std::move(program));
  }
  {
    std::string a, b;
    for (int i = 0; i < 3000; ++i) {
      a += "<entry id=\"" + std::to_string(i) + "\" value=\"" + std::to_string(i * 7) + "\"/>\n";
      b += "<entry id=\"" + std::to_string(i) + "\" value=\"" + std::to_string(i % 97 ? i * 7 : i) + "\"/>\n";
    }
    cases.push_back({"text", Bytes(a.begin(), a.end()), Bytes(b.begin(), b.end()), 0});
  }
  cases.push_back({"from empty", Bytes(), Random(5000, 3), 0});
  cases.push_back({"to empty", Random(5000, 4), Bytes(), 0});
  cases.push_back({"both empty", Bytes(), Bytes(), 0});

  for (const Case& c : cases) {
    ztDeltaMakeOptions threaded = Small(48 << 10, 12 << 10);
    threaded.threads = 3;  // segments made at once must still be written in order
    for (const ztDeltaMakeOptions& o :
         {Small(kDeltaDefaultSegment, kDeltaDefaultMargin), Small(64 << 10, 16 << 10), threaded}) {
      SCOPED_TRACE(std::string(c.name) + " segment " + std::to_string(o.segmentBytes));
      const Bytes delta = Make(c.base, c.next, o);
      const Applied a = Apply(c.base, delta);
      ASSERT_EQ(a.result, kDeltaOk);
      EXPECT_TRUE(a.output == c.next);
      EXPECT_EQ(a.header.outputSize, c.next.size());
      if (c.maxDelta) {
        EXPECT_LT(delta.size(), c.maxDelta);
      }
    }
  }
}

// Damage anywhere is refused, never a crash or a read outside the base: a
// flipped bit, a cut, a base of another size, lengths past the caps.
TEST(DeltaTest, RefusesDamagedDeltas) {
  Bytes base, next;
  ProgramVersions(&base, &next);
  const Bytes delta = Make(base, next, Small(64 << 10, 8 << 10));
  ASSERT_EQ(Apply(base, delta).result, kDeltaOk);

  auto setU32 = [](Bytes d, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
    return d;
  };
  const size_t seg = kDeltaHeaderBytes;  // the first segment's header
  struct Damage {
    const char* what;
    Bytes bytes;
    Bytes base;
    int expected;
  };
  std::vector<Damage> damages = {
      {"cut", Bytes(delta.begin(), delta.end() - 1), base, kDeltaBadFormat},
      {"trailing byte", [&] { Bytes d = delta; d.push_back(0); return d; }(), base, kDeltaBadFormat},
      {"magic", setU32(delta, 0, 0), base, kDeltaBadFormat},
      {"base of another size", delta, Bytes(base.begin(), base.end() - 1), kDeltaWrongBase},
      {"reference past the cap", setU32(delta, seg + 8, kDeltaMaxReference + 1), base, kDeltaBadFormat},
      {"reference past the base", setU32(delta, seg + 4, 0x10000), base, kDeltaBadFormat},
      {"segment past the cap", setU32(delta, seg + 12, kDeltaMaxSegment + 1), base, kDeltaBadFormat},
      {"frame past the delta", setU32(delta, seg + 16, 0x7FFFFFFF), base, kDeltaBadFormat},
      {"more segments", setU32(delta, 32, 100000), base, kDeltaBadFormat},
  };
  // A flipped bit in each frame's body: zstd's own structure, or the
  // output that differs, is what the caller's digest then catches.
  for (size_t at = seg + kDeltaSegmentHeaderBytes + 10; at < delta.size(); at += delta.size() / 7) {
    Bytes d = delta;
    d[at] ^= 0x10;
    const Applied a = Apply(base, d);
    EXPECT_TRUE(a.result != kDeltaOk || a.output != next) << "bit at " << at;
  }
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    EXPECT_EQ(Apply(d.base, d.bytes).result, d.expected);
  }
}

// A base of more than 4 GiB (its bytes made up as they are asked for): the
// segments reach beyond 32-bit offsets, and applying holds no more than one
// segment's buffers whatever the size.
TEST(DeltaTest, FilesBeyondFourGiBWithBoundedBuffers) {
  const uint64_t size = (4ull << 30) + (3u << 20) + 17;
  const uint64_t changed = size / 2 + 12345;
  auto byteOf = [](uint64_t at) { return static_cast<uint8_t>((at >> 20) * 31); };
  // Each MiB one byte value, set run by run; the changed MiB byte by byte.
  auto fill = [&](uint64_t at, void* d, uint32_t n, bool next) {
    auto* p = static_cast<uint8_t*>(d);
    for (uint32_t i = 0; i < n;) {
      const uint64_t x = at + i;
      const uint32_t run = static_cast<uint32_t>(std::min<uint64_t>(n - i, (1u << 20) - (x & 0xFFFFF)));
      std::memset(p + i, byteOf(x), run);
      i += run;
    }
    if (next)
      for (uint64_t x = std::max(at, changed); x < std::min(at + n, changed + (1u << 20)); ++x)
        p[x - at] = static_cast<uint8_t>(x * 13);
    return true;
  };
  Bytes delta;
  ztDeltaMakeIo make;
  make.readBase = [&](uint64_t at, void* d, uint32_t n) { return fill(at, d, n, false); };
  make.readNew = [&](uint64_t at, void* d, uint32_t n) { return fill(at, d, n, true); };
  make.writeDelta = [&](const void* d, uint32_t n) {
    delta.insert(delta.end(), static_cast<const uint8_t*>(d), static_cast<const uint8_t*>(d) + n);
    return true;
  };
  ztDeltaMakeOptions o = Small(kDeltaMaxSegment, 1 << 20);
  o.level = 1;
  uint64_t deltaSize = 0;
  ASSERT_EQ(ztMakeDelta(make, size, size, o, &deltaSize), kDeltaOk);
  EXPECT_LT(deltaSize, 4u << 20);

  uint64_t out = 0, largestRead = 0, largestWrite = 0;
  bool same = true;
  size_t at = 0;
  Bytes expected;
  ztDeltaApplyIo io;
  io.readBase = [&](uint64_t off, void* d, uint32_t n) {
    largestRead = std::max<uint64_t>(largestRead, n);
    return off + n <= size && fill(off, d, n, false);
  };
  io.readDelta = [&](void* d, uint32_t n) {
    std::memcpy(d, delta.data() + at, n);
    at += n;
    return true;
  };
  io.writeOutput = [&](const void* d, uint32_t n) {
    largestWrite = std::max<uint64_t>(largestWrite, n);
    expected.resize(n);
    fill(out, expected.data(), n, true);
    same = same && std::memcmp(expected.data(), d, n) == 0;
    out += n;
    return true;
  };
  ASSERT_EQ(ztApplyDelta(io, size, delta.size()), kDeltaOk);
  EXPECT_EQ(out, size);
  EXPECT_TRUE(same);
  EXPECT_LE(largestRead, kDeltaMaxReference);
  EXPECT_LE(largestWrite, kDeltaMaxSegment);
}
