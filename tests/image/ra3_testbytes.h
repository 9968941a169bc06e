// Hand-made bytes for the RA-3 and ZO-2 tests: bit strings written out as
// text, zlib streams from the system's zlib (not the library's routines), RA-3
// files with frames and tags laid out byte by byte, ZO-2 files, and a plain
// reference coder of the strip codec written from the format's rules alone,
// so that a shared mistake between the library's encoder and decoder shows.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/image/imagetest.h"

namespace zt_ra3test {

using zt_imgtest::Bytes;
using zt_imgtest::Put16;
using zt_imgtest::Put32;
using zt_test::Append;

// "1 00100 1" -> bytes, each bit stored from the least significant end of
// its byte; spaces are ignored.
inline Bytes BitsLsbFirst(const std::string& text) {
  Bytes out;
  int n = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    if (n % 8 == 0) out.push_back(0);
    if (c == '1') out.back() |= static_cast<uint8_t>(1u << (n % 8));
    ++n;
  }
  return out;
}

// Gamma code of a >= 1 as a bit string: i zero bits, a 1, then the low i bits
// of a, most significant first.
inline std::string Gamma(uint32_t a) {
  int i = 0;
  while ((a >> (i + 1)) != 0) ++i;
  std::string s(static_cast<size_t>(i), '0');
  s += '1';
  for (int k = i - 1; k >= 0; --k) s += ((a >> k) & 1) ? '1' : '0';
  return s + " ";
}

inline Bytes Zlib(const Bytes& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  Bytes out(size);
  compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 6);
  out.resize(size);
  return out;
}

inline Bytes Unzlib(const uint8_t* data, size_t size, size_t expect) {
  Bytes out(expect + 1);
  uLongf n = static_cast<uLongf>(out.size());
  if (uncompress(out.data(), &n, data, static_cast<uLong>(size)) != Z_OK) return {};
  out.resize(n);
  return out;
}

// ---- RA-3 -------------------------------------------------------------------

struct StdInfo {
  uint32_t width = 1, height = 1;
  int16_t bits = 32;
  int32_t offsetX = 0, offsetY = 0, canvasW = 0, canvasH = 0;
  uint32_t transparent = 0;
  int32_t user1 = 0, user2 = 0;
};

inline Bytes StdInfoBytes(const StdInfo& s) {
  Bytes b;
  Put32(b, s.width);
  Put32(b, s.height);
  Put16(b, static_cast<uint16_t>(s.bits));
  Put16(b, 0);
  Put32(b, static_cast<uint32_t>(s.offsetX));
  Put32(b, static_cast<uint32_t>(s.offsetY));
  Put32(b, static_cast<uint32_t>(s.canvasW ? s.canvasW : static_cast<int32_t>(s.width)));
  Put32(b, static_cast<uint32_t>(s.canvasH ? s.canvasH : static_cast<int32_t>(s.height)));
  Put32(b, s.transparent);
  Put32(b, static_cast<uint32_t>(s.user1));
  Put32(b, static_cast<uint32_t>(s.user2));
  return b;
}

// Strip tag data from unpacked areas (packed here with the system's zlib).
inline Bytes StripData(uint32_t y0, int32_t rows, const Bytes& byteArea, const Bytes& bitArea) {
  Bytes bp = Zlib(byteArea), tp = Zlib(bitArea);
  Bytes b;
  Put32(b, y0);
  Put32(b, static_cast<uint32_t>(rows));
  Put32(b, static_cast<uint32_t>(bp.size()));
  Put32(b, static_cast<uint32_t>(byteArea.size()));
  Put32(b, static_cast<uint32_t>(tp.size()));
  Put32(b, static_cast<uint32_t>(bitArea.size()));
  Append(b, bp);
  Append(b, tp);
  return b;
}

inline Bytes U32Data(uint32_t v) {
  Bytes b;
  Put32(b, v);
  return b;
}

struct Tag {
  std::string name;
  Bytes data;
};

struct Frame {
  int32_t id = 0;
  std::vector<Tag> tags;
};

inline Bytes TagName(const std::string& name) {
  Bytes b(8, 0);
  for (size_t i = 0; i < name.size() && i < 8; ++i) b[i] = static_cast<uint8_t>(name[i]);
  return b;
}

// A whole file: 12-byte header, frames chained in order, tags chained in
// order with `gap` spare bytes after each tag's data.
inline Bytes Ra3File(const std::vector<Frame>& frames, uint32_t gap = 0) {
  Bytes f;
  zt_imgtest::PutText(f, "RA-3");
  Put32(f, 12);
  Put32(f, 0);
  for (size_t fi = 0; fi < frames.size(); ++fi) {
    size_t framePos = f.size();
    Put32(f, 0);
    Put32(f, static_cast<uint32_t>(frames[fi].id));
    for (size_t ti = 0; ti < frames[fi].tags.size(); ++ti) {
      const Tag& t = frames[fi].tags[ti];
      size_t tagPos = f.size();
      Append(f, TagName(t.name));
      uint32_t next = ti + 1 < frames[fi].tags.size() ? static_cast<uint32_t>(16 + t.data.size() + gap) : 0;
      Put32(f, next);
      Put32(f, static_cast<uint32_t>(t.data.size()));
      Append(f, t.data);
      f.insert(f.end(), gap, 0xEE);
      (void)tagPos;
    }
    if (fi + 1 < frames.size()) ztPutU32LE(&f[framePos], static_cast<uint32_t>(f.size() - framePos));
  }
  return f;
}

// ---- reference strip coder ----------------------------------------------------

// Code of a difference byte: 0..127 -> 2d, 128..255 (negative) -> 2(255-d)+1.
inline uint8_t RefCode(uint8_t d) {
  return d <= 127 ? static_cast<uint8_t>(2 * d) : static_cast<uint8_t>(2 * (255 - d) + 1);
}

struct RefStrip {
  Bytes byteArea;
  Bytes bitArea;
  Bytes expanded;  // the planes, for tests that look at them
};

// Codes rows given top to bottom as the picture shows them (rows[0] the top)
// into one strip stored bottom row first.
inline RefStrip RefEncode(const std::vector<Bytes>& rowsTopDown, int bpp) {
  Bytes mapped;
  size_t n = rowsTopDown.size();
  for (size_t s = 0; s < n; ++s) {
    const Bytes& row = rowsTopDown[n - 1 - s];
    for (size_t i = 0; i < row.size(); ++i) {
      int ref = s == 0 ? (i >= static_cast<size_t>(bpp) ? row[i - bpp] : 0) : rowsTopDown[n - s][i];
      mapped.push_back(RefCode(static_cast<uint8_t>(row[i] - ref)));
    }
  }
  while (mapped.size() % 4) mapped.push_back(0);
  size_t q = mapped.size() / 4;
  RefStrip out;
  out.expanded.assign(mapped.size(), 0);
  for (int k = 0; k < 4; ++k)
    for (size_t i = 0; i < q; ++i)
      for (int j = 0; j < 4; ++j)
        out.expanded[k * q + i] |= static_cast<uint8_t>(((mapped[4 * i + j] >> (6 - 2 * k)) & 3) << (2 * j));
  const Bytes& e = out.expanded;
  std::string bits = e[0] ? "1 " : "0 ";
  bits += Gamma(static_cast<uint32_t>(e.size()));
  for (size_t i = 0; i < e.size();) {
    size_t j = i;
    bool nz = e[i] != 0;
    while (j < e.size() && (e[j] != 0) == nz) ++j;
    if (nz) out.byteArea.insert(out.byteArea.end(), e.begin() + i, e.begin() + j);
    bits += Gamma(static_cast<uint32_t>(j - i));
    i = j;
  }
  out.bitArea = BitsLsbFirst(bits);
  return out;
}

// Rows of a picture (top first) from a fill function.
template <class Fill>
inline std::vector<Bytes> Rows(uint32_t w, uint32_t h, int bpp, Fill fill) {
  std::vector<Bytes> rows(h, Bytes(static_cast<size_t>(w) * bpp));
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int k = 0; k < bpp; ++k) rows[y][x * bpp + k] = fill(x, y, k);
  return rows;
}

// Strip tags for a picture cut into strips of the given heights, counted
// from the bottom: strip 0 holds the lowest rows.
inline std::vector<Tag> StripTags(const std::vector<Bytes>& rowsTopDown, int bpp,
                                  const std::vector<uint32_t>& heights) {
  std::vector<Tag> tags;
  uint32_t h = static_cast<uint32_t>(rowsTopDown.size());
  uint32_t y0 = 0;
  for (size_t n = 0; n < heights.size(); ++n) {
    uint32_t rows = heights[n];
    std::vector<Bytes> part(rowsTopDown.begin() + (h - y0 - rows), rowsTopDown.begin() + (h - y0));
    RefStrip s = RefEncode(part, bpp);
    char name[16];
    snprintf(name, sizeof name, "img%04u", static_cast<unsigned>(n));
    tags.push_back({name, StripData(y0, static_cast<int32_t>(rows), s.byteArea, s.bitArea)});
    y0 += rows;
  }
  return tags;
}

// ---- ZO-2 -------------------------------------------------------------------

struct Zo2Frame {
  uint32_t width = 1, height = 1;
  int16_t bits = 32;
  uint16_t significant = 0;
  int32_t id = 0, canvasW = 0, canvasH = 0, offsetX = 0, offsetY = 0;
  uint32_t transparent = 0;
  int32_t user1 = 0, user2 = 0;
  Bytes byteArea, bitArea;  // unpacked
};

// A ZO-2 file of `version` with the frames chained in order.
inline Bytes Zo2File(int16_t version, const std::vector<Zo2Frame>& frames) {
  Bytes f;
  zt_imgtest::PutText(f, "ZO-2");
  Put32(f, 12);
  Put16(f, static_cast<uint16_t>(version));
  Put16(f, 0);
  for (size_t i = 0; i < frames.size(); ++i) {
    const Zo2Frame& z = frames[i];
    size_t pos = f.size();
    Bytes bp = Zlib(z.byteArea), tp = Zlib(z.bitArea);
    Put32(f, z.width);
    Put32(f, z.height);
    Put16(f, static_cast<uint16_t>(z.bits));
    Put16(f, z.significant);
    Put32(f, 0);
    Put32(f, 0);
    Put32(f, static_cast<uint32_t>(bp.size()));
    Put32(f, static_cast<uint32_t>(z.byteArea.size()));
    Put32(f, static_cast<uint32_t>(tp.size()));
    Put32(f, static_cast<uint32_t>(z.bitArea.size()));
    size_t nextField = 0;
    if (version >= 32) {
      Put32(f, version >= 37 ? 40 : 32);  // data right after the information
      Put32(f, static_cast<uint32_t>(z.id));
      Put32(f, static_cast<uint32_t>(z.canvasW));
      Put32(f, static_cast<uint32_t>(z.canvasH));
      Put32(f, static_cast<uint32_t>(z.offsetX));
      Put32(f, static_cast<uint32_t>(z.offsetY));
      Put32(f, z.transparent);
      nextField = f.size();
      Put32(f, 0);
    }
    if (version >= 37) {
      Put32(f, static_cast<uint32_t>(z.user1));
      Put32(f, static_cast<uint32_t>(z.user2));
    }
    Append(f, bp);
    Append(f, tp);
    if (nextField && i + 1 < frames.size()) ztPutU32LE(&f[nextField], static_cast<uint32_t>(f.size() - pos));
  }
  return f;
}

}  // namespace zt_ra3test
