#include "app/UpdateJournal.h"

#include <cstdio>
#include <set>

#include "app/PackagePaths.h"
#include "app/UpdateManifest.h"
#include "file/textutil.h"
#include "platform/ztBytes.h"

namespace {

constexpr uint8_t kJournalMagic[4] = {'Z', 'T', 'J', '1'};
constexpr uint8_t kCommitMagic[4] = {'Z', 'T', 'C', '1'};
constexpr uint32_t kJournalVersion = 1;
constexpr uint32_t kMaxPathUnits = 259;
// Far above any package; a count beyond it is damage, and refusing it early
// keeps a flipped bit from asking for gigabytes.
constexpr uint32_t kMaxEntries = 1u << 20;

void PutString(std::vector<uint8_t>& out, const std::u16string& s) {
  const uint8_t n[2] = {static_cast<uint8_t>(s.size()), static_cast<uint8_t>(s.size() >> 8)};
  out.insert(out.end(), n, n + 2);
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
}

bool TakeString(ztByteCursor& in, std::u16string* out) {
  const uint16_t n = in.U16LE();
  if (!in.Ok() || n > kMaxPathUnits) return false;
  out->clear();
  out->reserve(n);
  for (uint16_t i = 0; i < n; ++i) out->push_back(static_cast<char16_t>(in.U16LE()));
  return in.Ok();
}

char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; }

std::u16string FolderKey(const std::u16string& s) {
  std::u16string k(s);
  for (char16_t& c : k) c = Upper(c);
  return k;
}

}  // namespace

uint32_t JournalCrc(const uint8_t* data, size_t size) {
  static const struct Table {
    uint32_t v[256];
    Table() {
      for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        v[i] = c;
      }
    }
  } table;
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) crc = table.v[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  return crc ^ 0xFFFFFFFFu;
}

bool IsSafeRelativePath(const std::u16string& path) {
  if (path.empty() || path.size() > kMaxPathUnits) return false;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find(u'\\', start);
    const std::u16string part = path.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
    if (part.empty() || part == u"." || part == u"..") return false;
    for (char16_t c : part)
      if (c < 0x20 || c == u'/' || c == u':') return false;
    if (end == std::u16string::npos) return true;
    start = end + 1;
  }
}

bool IsTrustedKeyPath(const std::u16string& path) {
  // As the package's paths are compared: "UPDATE.KEY. " opens update.key.
  static const std::u16string key = DestinationKey(kTrustedKeyName);
  return DestinationKey(path) == key;
}

JournalTrust DecideJournalTrust(const JournalFolderFacts& facts) {
  if (!facts.elevated) return kJournalTrusted;
  if (!facts.known) return kJournalRefused;
  if (facts.ownerIsAdmin && facts.protectedAcl && !facts.othersMayWrite) return kJournalTrusted;
  return kJournalRestricted;
}

std::vector<uint8_t> EncodeJournal(const UpdateJournal& j) {
  std::vector<uint8_t> out;
  out.reserve(64 + 64 * (j.files.size() + j.createdFolders.size()));
  out.insert(out.end(), kJournalMagic, kJournalMagic + 4);
  ztAppendU32LE(out, kJournalVersion);
  ztAppendU32LE(out, j.logExisted ? 1 : 0);
  for (const std::u16string* s : {&j.brand, &j.app, &j.majorVersion, &j.minorVersion}) PutString(out, *s);
  ztAppendU32LE(out, static_cast<uint32_t>(j.createdFolders.size()));
  for (const std::u16string& f : j.createdFolders) PutString(out, f);
  ztAppendU32LE(out, static_cast<uint32_t>(j.files.size()));
  for (const JournalFile& f : j.files) {
    out.push_back(f.existed ? 1 : 0);
    PutString(out, f.path);
  }
  ztAppendU32LE(out, JournalCrc(out.data(), out.size()));
  return out;
}

bool DecodeJournal(const uint8_t* data, size_t size, UpdateJournal* out) {
  if (!data || size < 16 || size > UINT32_MAX) return false;
  if (JournalCrc(data, size - 4) != ztGetU32LE(data + size - 4)) return false;
  ztByteCursor in(data, static_cast<uint32_t>(size - 4));
  const uint8_t* magic = in.Take(4);
  if (!magic || std::char_traits<char>::compare(reinterpret_cast<const char*>(magic),
                                                reinterpret_cast<const char*>(kJournalMagic), 4) != 0)
    return false;
  if (in.U32LE() != kJournalVersion) return false;
  const uint32_t flags = in.U32LE();
  if (!in.Ok() || flags > 1) return false;
  UpdateJournal j;
  j.logExisted = flags == 1;
  for (std::u16string* s : {&j.brand, &j.app, &j.majorVersion, &j.minorVersion})
    if (!TakeString(in, s)) return false;
  const uint32_t folders = in.U32LE();
  if (!in.Ok() || folders > kMaxEntries || folders > in.Left() / 2) return false;
  j.createdFolders.resize(folders);
  for (std::u16string& f : j.createdFolders)
    if (!TakeString(in, &f) || !IsSafeRelativePath(f)) return false;
  const uint32_t files = in.U32LE();
  if (!in.Ok() || files > kMaxEntries || files > in.Left() / 3) return false;
  j.files.resize(files);
  for (JournalFile& f : j.files) {
    const uint8_t existed = in.U8();
    if (!in.Ok() || existed > 1 || !TakeString(in, &f.path) || !IsSafeRelativePath(f.path)) return false;
    f.existed = existed == 1;
  }
  if (in.Left() != 0) return false;
  *out = std::move(j);
  return true;
}

std::vector<uint8_t> EncodeCommitMark(uint32_t journalCrc) {
  std::vector<uint8_t> out;
  out.reserve(12);
  out.insert(out.end(), kCommitMagic, kCommitMagic + 4);
  ztAppendU32LE(out, journalCrc);
  ztAppendU32LE(out, JournalCrc(out.data(), out.size()));
  return out;
}

bool DecodeCommitMark(const uint8_t* data, size_t size, uint32_t* journalCrc) {
  if (!data || size != 12) return false;
  if (std::char_traits<char>::compare(reinterpret_cast<const char*>(data), reinterpret_cast<const char*>(kCommitMagic),
                                      4) != 0)
    return false;
  if (JournalCrc(data, 8) != ztGetU32LE(data + 8)) return false;
  *journalCrc = ztGetU32LE(data + 4);
  return true;
}

std::vector<std::u16string> FoldersToCreate(const std::vector<std::u16string>& paths,
                                            const std::function<bool(const std::u16string&)>& exists) {
  std::vector<std::u16string> out;
  std::set<std::u16string> seen;  // folders asked once, by their upper-case key
  for (const std::u16string& path : paths) {
    for (size_t cut = path.find(u'\\'); cut != std::u16string::npos; cut = path.find(u'\\', cut + 1)) {
      const std::u16string folder = path.substr(0, cut);
      if (!seen.insert(FolderKey(folder)).second) continue;
      if (!exists(folder)) out.push_back(folder);
    }
  }
  return out;
}

// ---- the run record ----------------------------------------------------------

const char* OutcomeWords(int outcome) {
  switch (outcome) {
    case 0: return "installed";
    case 1: return "cancelled by the user";
    case 2: return "no usable description";
    case 3: return "the game or its configuration tool was running";
    case 4: return "installation not found";
    case 5: return "installed version too old";
    case 6: return "copy failed";
    case 7: return "no window";
    case 8: return "package not verified";
    case 9: return "the installation is not the version this package patches";
    default: return "unknown";
  }
}

namespace {

std::string Utf8(const std::u16string& s) {
  // Three bytes per unit cover every sequence (a pair is two units for four).
  std::string out(s.size() * 3 + 1, '\0');
  const int n = ToUtf8(s.c_str(), &out[0], out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

const char* RecoveryWords(int recovery) {
  switch (recovery) {
    case kRecoveryRolledBack: return "an unfinished update found at start was rolled back";
    case kRecoveryCommitted: return "a complete update found at start was finished";
    case kRecoveryRefused: return "an unfinished update was found but its journal could not be read";
    case kRecoveryFailed: return "an unfinished update was found and could not be rolled back whole";
    default: return nullptr;
  }
}

}  // namespace

std::string FormatRunRecord(const RunRecord& r) {
  std::string s = "[" + Utf8(r.when) + "] update " + Utf8(r.majorVersion) + "." + Utf8(r.minorVersion) + "\r\n";
  char line[128];
  std::snprintf(line, sizeof line, "  outcome: %d (%s)\r\n", r.outcome, OutcomeWords(r.outcome));
  s += line;
  if (const char* words = RecoveryWords(r.recovery)) s += std::string("  recovery: ") + words + "\r\n";
  if (!r.failedFile.empty() || !r.failedText.empty()) {
    std::string text = Utf8(r.failedText);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    s += "  failed: " + Utf8(r.failedFile) + (text.empty() ? "" : ": " + text) + "\r\n";
  }
  for (const std::u16string& file : r.notPatchable) s += "  not the base of its delta: " + Utf8(file) + "\r\n";
  for (const std::u16string& box : r.boxes) {
    // One line each: a text's own line breaks become spaces.
    std::string text = Utf8(box);
    for (char& c : text)
      if (c == '\r' || c == '\n') c = ' ';
    s += "  box: " + text + "\r\n";
  }
  if (r.rollback == 1) s += "  rolled back: every installed file is the old version again\r\n";
  if (r.rollback == 2) s += "  rolled back in part: the journal is kept for the next run\r\n";
  std::snprintf(line, sizeof line, "  duration: %llu.%03u s\r\n",
                static_cast<unsigned long long>(r.milliseconds / 1000), static_cast<unsigned>(r.milliseconds % 1000));
  s += line;
  return s;
}

std::string AppendBounded(const std::string& existing, const std::string& lines, size_t limit) {
  std::string all = existing;
  if (!all.empty() && all.back() != '\n') all += "\r\n";
  all += lines;
  if (all.size() <= limit) return all;
  // Drop whole lines from the front; never cut into the run just added.
  const size_t keepFrom = all.size() - lines.size();
  size_t cut = all.size() - limit;
  if (cut > keepFrom) cut = keepFrom;
  const size_t next = all.find('\n', cut - 1);
  if (next == std::string::npos || next + 1 > keepFrom) return all.substr(keepFrom);
  return all.substr(next + 1);
}
