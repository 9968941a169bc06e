// Archives: the input is an archive file, opened plain or, when its header
// says so, with the fuzzing key. Every member the index names (as far as the
// input's own bytes say) is opened and read whole through the archive, then
// read again with seeks through a ztBigFile. A member's bytes must come out
// the same both ways.
#include <cstring>
#include <string>
#include <vector>

#include "file/ztArchive.h"
#include "file/ztBigFile.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"
#include "platform/ztBytes.h"

const char kZtFuzzArchiveKey[] = "zt-fuzz-archive-key";

namespace {

// Member names read from the input's index, each bound checked here on its
// own: the archive object is not trusted to have done it.
std::vector<std::u16string> IndexNames(const uint8_t* data, size_t size) {
  std::vector<std::u16string> names;
  if (size < ZTARC_HEADER_SIZE) return names;
  uint32_t count = ztGetU32LE(data + 12);
  uint32_t offset = ztGetU32LE(data + 16);
  if (offset > size) return names;
  size_t left = size - offset;
  const uint8_t* p = data + offset;
  for (uint32_t i = 0; i < count && names.size() < 64; ++i) {
    if (ZTARC_RECORD_FIXED > left) break;
    uint32_t units = static_cast<uint32_t>(p[12]) | static_cast<uint32_t>(p[13]) << 8;
    p += ZTARC_RECORD_FIXED;
    left -= ZTARC_RECORD_FIXED;
    if (static_cast<size_t>(units) * 2 > left) break;
    std::u16string name;
    for (uint32_t k = 0; k < units; ++k) name.push_back(static_cast<char16_t>(p[2 * k] | p[2 * k + 1] << 8));
    p += 2 * static_cast<size_t>(units);
    left -= 2 * static_cast<size_t>(units);
    names.push_back(name);
  }
  return names;
}

}  // namespace

int ztFuzzArchive(const uint8_t* data, size_t size) {
  static const std::u16string path = ztFuzzScratchPath("fuzz.arc");
  if (!ztFuzzWriteFile(path, data, size)) return 0;

  ztArchive archive(4);
  if (!archive.Open(path.c_str(), kZtFuzzArchiveKey, sizeof kZtFuzzArchiveKey - 1)) return 0;
  archive.GetMemberCount();
  archive.HasMember(u"no such member");
  archive.HasMember(u"");

  for (const std::u16string& name : IndexNames(data, size)) {
    const ztArchive::Info* info = archive.FindMember(name.c_str());
    ztArchiveMember* m = archive.OpenMember(name.c_str());
    if (!info || !m) {
      if (m) archive.CloseMember(m);
      continue;
    }
    // Whole member, in pieces of growing size.
    std::vector<uint8_t> whole;
    uint8_t chunk[4096];
    for (uint32_t piece = 1;; piece = piece * 3 + 1) {
      uint32_t want = piece < sizeof chunk ? piece : static_cast<uint32_t>(sizeof chunk);
      int32_t got = archive.ReadMember(m, chunk, want);
      if (got <= 0) break;
      if (static_cast<uint32_t>(got) > want) ztFuzzFail("read %d bytes into a %u-byte request", got, want);
      whole.insert(whole.end(), chunk, chunk + got);
      if (whole.size() > info->size) ztFuzzFail("member read past its size %u", info->size);
    }
    if (whole.size() != info->size) ztFuzzFail("member of %u bytes read as %zu", info->size, whole.size());
    archive.SeekMember(m, -5, 1);
    archive.SeekMember(m, 0x7FFFFFFF, 0);
    archive.ReadMember(m, chunk, 16);
    archive.CloseMember(m);

    // The same member through a file object: from a middle position to the
    // end, compared with what the archive gave.
    ztBigFile file(&archive);
    if (!file.Open(name.c_str(), ZTFILE_READ | ZTFILE_OPEN_EXISTING)) continue;
    uint32_t start = info->size / 3;
    file.Seek(start);
    std::vector<uint8_t> tail(info->size - start + 1);
    int32_t got = file.Read(tail.data(), static_cast<uint32_t>(tail.size()));
    if (got != static_cast<int32_t>(info->size - start))
      ztFuzzFail("file object read %d of the %u bytes after %u", got, info->size - start, start);
    if (got > 0 && std::memcmp(tail.data(), whole.data() + start, static_cast<size_t>(got)) != 0)
      ztFuzzFail("file object and archive disagree about a member's bytes");
    file.Close();
  }
  return 0;
}
