#include "file/ztArchive.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "file/textutil.h"
#include "platform/ztBytes.h"
#include "platform/ztDebug.h"

namespace {

// "同時にオープンできるファイル数を超えています (MAX:%d) : %s"
const char kTooManyOpen[] =
    "\x93\xaf\x8e\x9e\x82\xc9\x83I\x81[\x83v\x83\x93\x82\xc5\x82\xab\x82\xe9\x83t\x83@\x83\x43"
    "\x83\x8b\x90\x94\x82\xf0\x92\xb4\x82\xa6\x82\xc4\x82\xa2\x82\xdc\x82\xb7 (MAX:%d) : %s";
// "統合ファイルがオープンされていません"
const char kNotOpen[] =
    "\x93\x9d\x8d\x87\x83t\x83@\x83\x43\x83\x8b\x82\xaa\x83I\x81[\x83v\x83\x93\x82\xb3\x82\xea"
    "\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";
// "読み込み先バッファが指定されていません"
const char kNoBuffer[] =
    "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x90\xe6\x83o\x83\x62\x83t\x83@\x82\xaa\x8ew\x92\xe8\x82"
    "\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb9\x82\xf1";
// "ファイルポインタ移動タイプが不正です"
const char kBadOrigin[] =
    "\x83t\x83@\x83\x43\x83\x8b\x83|\x83\x43\x83\x93\x83^\x88\xda\x93\xae\x83^\x83\x43\x83v\x82"
    "\xaa\x95s\x90\xb3\x82\xc5\x82\xb7";
// "暗号化解除エラー (%s:%d)"
const char kDecipherError[] = "\x88\xc3\x8d\x86\x89\xbb\x89\xf0\x8f\x9c\x83G\x83\x89\x81[ (%s:%d)";
// "読み込みに失敗 (%s:%d)"
const char kReadFailed[] = "\x93\xc7\x82\xdd\x8d\x9e\x82\xdd\x82\xc9\x8e\xb8\x94s (%s:%d)";

const uint8_t kMagic[4] = {'Z', 'T', 'A', 'R'};
const uint8_t kKeyCheck[8] = {'Z', 'T', 'A', 'R', 'K', 'E', 'Y', '!'};

// A member or file name in code page 932 for the assertion texts.
struct NarrowName {
  char text[ZTARC_NAME_UNITS * 2];
  explicit NarrowName(const char16_t* name) { ToShiftJis(text, sizeof text, name ? name : u""); }
};

// Upper-cased copy of a name for the index; false when it does not fit.
bool UpperName(const char16_t* name, char16_t (&out)[ZTARC_NAME_UNITS]) {
  if (!name || CopyText(out, name) < 0) return false;
  ToUpperPath(out);
  return true;
}

void LogBad(const char16_t* path, const char* why) {
  char narrow[ZTARC_NAME_UNITS * 2];
  ToShiftJis(narrow, sizeof narrow, path ? path : u"");
  DebugLog("ztArchive : %s : %s", why, narrow);
}

// One index record at the cursor: the member's upper-cased name and where
// its data lies. Null, or the reason the archive is refused.
const char* ReadRecord(ztByteCursor& c, uint32_t fileSize, std::u16string* upperName, ztArchive::Info* info) {
  info->offset = c.U32LE();
  info->size = c.U32LE();
  info->flags = static_cast<int32_t>(c.U32LE());
  uint16_t units = c.U16LE();
  if (!c.Ok() || units == 0 || units >= ZTARC_NAME_UNITS) return "bad index record";
  const uint8_t* bytes = c.Take(static_cast<uint32_t>(units) * 2);
  if (!bytes) return "bad index record";
  char16_t name[ZTARC_NAME_UNITS];
  bool bad = false;
  for (uint16_t k = 0; k < units; ++k) {
    name[k] = static_cast<char16_t>(bytes[2 * k] | bytes[2 * k + 1] << 8);
    if (name[k] == 0) bad = true;
  }
  name[units] = 0;
  ToUpperPath(name);
  // A member must lie wholly inside the file; one that does not is never
  // read, and the archive that claims it is not trusted.
  if (bad || info->offset > fileSize || info->size > fileSize - info->offset) return "member outside the file";
  upperName->assign(name, units);
  return nullptr;
}

}  // namespace

// ---- ztArchive --------------------------------------------------------------

ztArchive::ztArchive(int32_t maxOpen) : maxOpen_(maxOpen > 0 ? maxOpen : 1) {}

ztArchive::~ztArchive() { Close(); }

void ztArchive::Close() {
  delete index_;
  index_ = nullptr;
  delete[] records_;
  records_ = nullptr;
  delete cipher_;
  cipher_ = nullptr;
  encrypted_ = 0;
  file_.Close();
  name_[0] = 0;
}

// The header fields Open goes on with; the magic and the version are only
// checked.
struct ztArchive::Header {
  uint32_t flags;
  uint32_t count;
  uint32_t indexOffset;
  uint32_t indexSize;
  uint8_t check[8];
};

int32_t ztArchive::Open(const char16_t* path, const void* key, uint32_t keyBytes) {
  Close();
  if (!path || !file_.Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) {
    LogBad(path, "cannot open");
    return 0;
  }
  auto fail = [&](const char* why) {
    LogBad(path, why);
    Close();
    return 0;
  };
  int32_t signedSize = file_.GetSize();
  if (signedSize < 0) return fail("cannot read size");
  // GetSize reports 32 bits; files this format can describe are below 4 GiB.
  const uint32_t fileSize = static_cast<uint32_t>(signedSize);

  Header header;
  if (const char* why = ReadHeader(fileSize, &header)) return fail(why);
  if (header.flags & ZTARC_ENCIPHERED) {
    if (const char* why = UseKey(header.check, key, keyBytes)) return fail(why);
  }
  std::unique_ptr<Index> index;
  if (const char* why = ReadIndex(fileSize, header, &index)) return fail(why);
  records_ = new (std::nothrow) ztArchiveMember[maxOpen_]();
  if (!records_) return fail("out of memory");
  index_ = index.release();
  // The archive's name: the file name without folder and extension.
  char16_t base[ZTARC_NAME_UNITS];
  // A longer file name is cut at a whole character; the archive then answers
  // to the cut name.
  (void)GetFileNamePart(path, base);
  char16_t* ext = const_cast<char16_t*>(GetExtension(base));
  if (ext > base && ext[-1] == u'.') ext[-1] = 0;
  (void)CopyText(name_, base);
  return 1;
}

const char* ztArchive::ReadHeader(uint32_t fileSize, Header* header) {
  uint8_t bytes[ZTARC_HEADER_SIZE];
  if (fileSize < ZTARC_HEADER_SIZE) return "too short";
  if (file_.Read(bytes, ZTARC_HEADER_SIZE) != static_cast<int32_t>(ZTARC_HEADER_SIZE)) return "cannot read header";
  ztByteCursor h(bytes, sizeof bytes);
  const uint8_t* magic = h.Take(4);
  uint32_t version = h.U32LE();
  header->flags = h.U32LE();
  header->count = h.U32LE();
  header->indexOffset = h.U32LE();
  header->indexSize = h.U32LE();
  h.Read(header->check, 8);
  if (!h.Ok() || std::memcmp(magic, kMagic, 4) != 0) return "not an archive";
  if (version != ZTARC_VERSION) return "unknown version";
  if (header->flags & ~ZTARC_ENCIPHERED) return "unknown flags";
  if (header->indexOffset < ZTARC_HEADER_SIZE || header->indexOffset > fileSize ||
      header->indexSize > fileSize - header->indexOffset)
    return "index outside the file";
  if (header->count > header->indexSize / ZTARC_RECORD_FIXED) return "member count does not fit the index";
  return nullptr;
}

const char* ztArchive::UseKey(const uint8_t* check, const void* key, uint32_t keyBytes) {
  if (!key || keyBytes == 0) return "key missing";
  cipher_ = new (std::nothrow) ztBlowfish;
  if (!cipher_ || !cipher_->SetKey(static_cast<const uint8_t*>(key), keyBytes)) return "key refused";
  uint8_t block[8];
  std::memcpy(block, check, 8);
  cipher_->Decrypt(block, 8);
  if (std::memcmp(block, kKeyCheck, 8) != 0) return "wrong key";
  encrypted_ = 1;
  return nullptr;
}

const char* ztArchive::ReadIndex(uint32_t fileSize, const Header& header, std::unique_ptr<Index>* index) {
  std::vector<uint8_t> raw;
  if (header.indexSize) {
    raw.resize(header.indexSize);
    if (file_.Seek(header.indexOffset) != static_cast<int32_t>(header.indexOffset) ||
        file_.Read(raw.data(), header.indexSize) != static_cast<int32_t>(header.indexSize))
      return "cannot read index";
  }
  index->reset(new (std::nothrow) Index);
  if (!*index) return "out of memory";
  ztByteCursor c(raw.data(), static_cast<uint32_t>(raw.size()));
  for (uint32_t i = 0; i < header.count; ++i) {
    std::u16string name;
    Info info;
    if (const char* why = ReadRecord(c, fileSize, &name, &info)) return why;
    if (!(*index)->emplace(std::move(name), info).second) return "duplicate member name";
  }
  if (!c.Ok() || c.Left() != 0) return "index size does not match its records";
  return nullptr;
}

int32_t ztArchive::GetMemberCount() const {
  return index_ ? static_cast<int32_t>(index_->size()) : -1;
}

const char16_t* ztArchive::GetArchiveName() const { return index_ ? name_ : nullptr; }

void ztArchive::SetArchiveName(const char16_t* name) { (void)CopyText(name_, name ? name : u""); }

const ztArchive::Info* ztArchive::Lookup(const char16_t* upperName) const {
  if (!index_) AssertBox(kNotOpen);
  auto it = index_->lower_bound(upperName);
  if (it == index_->end() || it->first != upperName) return nullptr;
  return &it->second;
}

const ztArchive::Info* ztArchive::FindMember(const char16_t* name) const {
  char16_t upper[ZTARC_NAME_UNITS];
  if (!index_ || !UpperName(name, upper)) return nullptr;
  return Lookup(upper);
}

int32_t ztArchive::HasMember(const char16_t* name) { return FindMember(name) ? 1 : 0; }

ztArchiveMember* ztArchive::OpenMember(const char16_t* name) {
  if (!index_) return nullptr;
  // The preloader and the caller may open members of one archive at once.
  std::lock_guard<std::mutex> guard(fileLock_);
  ztArchiveMember* free = nullptr;
  for (int32_t i = 0; i < maxOpen_ && !free; ++i)
    if (records_[i].magic != ZTARC_OPEN_MAGIC) free = &records_[i];
  if (!free) {
    NarrowName n(name);
    AssertBox(kTooManyOpen, maxOpen_, n.text);
  }
  char16_t upper[ZTARC_NAME_UNITS];
  if (!UpperName(name, upper)) return nullptr;
  const Info* info = Lookup(upper);
  if (!info) return nullptr;
  free->start = free->current = info->offset;
  free->position = 0;
  free->size = info->size;
  (void)CopyText(free->name, upper);
  free->flags = info->flags;
  free->magic = ZTARC_OPEN_MAGIC;
  return free;
}

void ztArchive::CloseMember(ztArchiveMember* member) {
  if (!member) return;
  std::lock_guard<std::mutex> guard(fileLock_);
  member->magic = 0;
  member->start = member->current = member->position = member->size = 0;
  member->name[0] = 0;
  member->flags = 0;
}

void ztArchive::ReadAt(const ztArchiveMember* m, uint32_t offset, void* out, uint32_t count,
                       bool tail) {
  int32_t got = -1;
  if (file_.Seek(offset) == static_cast<int32_t>(offset)) got = file_.Read(out, count);
  if (got == static_cast<int32_t>(count)) return;
  // The system failing is a read failure whatever was read; only a plain
  // tail that came back with another count is reported as undecipherable.
  NarrowName n(m->name);
  AssertBox(tail && got >= 0 ? kDecipherError : kReadFailed, n.text, static_cast<int>(m->size));
}

int32_t ztArchive::ReadMember(ztArchiveMember* m, void* buffer, uint32_t count) {
  if (!buffer) AssertBox(kNoBuffer);
  if (count == 0) return 0;
  if (!m || m->magic != ZTARC_OPEN_MAGIC || !index_) return -1;
  if (m->position >= m->size) return 0;
  const uint32_t n = count < m->size - m->position ? count : m->size - m->position;
  auto* out = static_cast<uint8_t*>(buffer);
  std::lock_guard<std::mutex> guard(fileLock_);

  if (!encrypted_) {
    ReadAt(m, m->current, out, n, false);
    m->current += n;
    m->position += n;
    return static_cast<int32_t>(n);
  }

  // Enciphered: whole 8-byte blocks from the member's start; the part of
  // the member after its last whole block is stored plain.
  const uint32_t wholeEnd = m->size & ~7u;
  uint32_t left = n;
  auto advance = [&](uint32_t k) {
    out += k;
    left -= k;
    m->position += k;
    m->current += k;
  };
  uint32_t inBlock = m->position & 7u;
  if (inBlock && m->position < wholeEnd) {
    uint8_t block[8];
    ReadAt(m, m->start + (m->position & ~7u), block, 8, false);
    cipher_->Decrypt(block, 8);
    uint32_t k = 8 - inBlock < left ? 8 - inBlock : left;
    std::memcpy(out, block + inBlock, k);
    advance(k);
  }
  if (left >= 8 && m->position < wholeEnd) {
    uint32_t k = left & ~7u;
    ReadAt(m, m->current, out, k, false);
    cipher_->Decrypt(out, k);
    advance(k);
  }
  if (left) {
    if (m->size - m->position >= 8) {
      uint8_t block[8];
      ReadAt(m, m->current, block, 8, false);
      cipher_->Decrypt(block, 8);
      std::memcpy(out, block, left);
    } else {
      ReadAt(m, m->current, out, left, true);
    }
    advance(left);
  }
  return static_cast<int32_t>(n);
}

int32_t ztArchive::SeekMember(ztArchiveMember* m, int32_t offset, int32_t origin) {
  if (origin != 0 && origin != 1) AssertBox(kBadOrigin);
  if (!m || m->magic != ZTARC_OPEN_MAGIC) return -1;
  int64_t target = origin == 0 ? offset : static_cast<int64_t>(m->position) + offset;
  // A position before the start is the start.
  if (target < 0) target = 0;
  int32_t result = offset;
  if (target >= static_cast<int64_t>(m->size)) {
    // On the last byte; an empty member has none, so it stays at 0.
    uint32_t clamped = m->size ? m->size - 1 : 0;
    result = static_cast<int32_t>(static_cast<int64_t>(offset) + m->size - target);
    target = clamped;
  }
  m->position = static_cast<uint32_t>(target);
  m->current = m->start + m->position;
  return result;
}

// ---- ztArchiveWriter --------------------------------------------------------

ztArchiveWriter::~ztArchiveWriter() {
  if (open_) file_.Close();
}

int32_t ztArchiveWriter::Begin(const char16_t* path, const void* key, uint32_t keyBytes) {
  if (open_) return 0;
  encrypted_ = false;
  if (key && keyBytes) {
    if (keyBytes > ztBlowfish::kMaxKeyBytes) return 0;
    if (!cipher_.SetKey(static_cast<const uint8_t*>(key), keyBytes)) return 0;
    encrypted_ = true;
  }
  if (!path || !file_.Open(path, ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) return 0;
  open_ = true;
  failed_ = false;
  count_ = 0;
  names_.clear();
  index_.clear();
  offset_ = ZTARC_HEADER_SIZE;
  // Room for the header, written for real by Finish.
  uint8_t zero[ZTARC_HEADER_SIZE] = {};
  if (file_.Write(zero, sizeof zero) != static_cast<int32_t>(sizeof zero)) failed_ = true;
  return failed_ ? 0 : 1;
}

int32_t ztArchiveWriter::AddMember(const char16_t* name, const void* data, uint32_t size,
                                   int32_t flags) {
  if (!open_ || failed_ || (!data && size)) return 0;
  char16_t upper[ZTARC_NAME_UNITS];
  if (!UpperName(name, upper) || upper[0] == 0) return 0;
  std::u16string key(upper);
  if (names_.count(key)) return 0;
  if (size > 0xFFFFFFFFu - offset_ || count_ == 0xFFFFFFFFu) return 0;

  const auto* src = static_cast<const uint8_t*>(data);
  uint32_t whole = encrypted_ ? size & ~7u : 0;
  // Enciphered blocks go through a small buffer so the caller's data stays
  // as it was.
  uint8_t chunk[4096];
  for (uint32_t done = 0; done < whole;) {
    uint32_t k = whole - done < sizeof chunk ? whole - done : static_cast<uint32_t>(sizeof chunk);
    std::memcpy(chunk, src + done, k);
    cipher_.Encrypt(chunk, k);
    if (file_.Write(chunk, k) != static_cast<int32_t>(k)) {
      failed_ = true;
      return 0;
    }
    done += k;
  }
  if (size > whole &&
      file_.Write(src + whole, size - whole) != static_cast<int32_t>(size - whole)) {
    failed_ = true;
    return 0;
  }
  ztAppendU32LE(index_, offset_);
  ztAppendU32LE(index_, size);
  ztAppendU32LE(index_, static_cast<uint32_t>(flags));
  uint16_t units = static_cast<uint16_t>(key.size());
  index_.push_back(static_cast<uint8_t>(units));
  index_.push_back(static_cast<uint8_t>(units >> 8));
  for (char16_t u : key) {
    index_.push_back(static_cast<uint8_t>(u));
    index_.push_back(static_cast<uint8_t>(u >> 8));
  }
  names_.insert(key);
  offset_ += size;
  ++count_;
  return 1;
}

int32_t ztArchiveWriter::Finish() {
  if (!open_) return 0;
  bool ok = !failed_;
  const uint32_t indexOffset = offset_;
  if (ok && index_.size() > 0xFFFFFFFFu - indexOffset) ok = false;
  if (ok && !index_.empty() &&
      file_.Write(index_.data(), static_cast<uint32_t>(index_.size())) !=
          static_cast<int32_t>(index_.size()))
    ok = false;
  if (ok) {
    uint8_t header[ZTARC_HEADER_SIZE] = {};
    std::memcpy(header, kMagic, 4);
    ztPutU32LE(header + 4, ZTARC_VERSION);
    ztPutU32LE(header + 8, encrypted_ ? ZTARC_ENCIPHERED : 0);
    ztPutU32LE(header + 12, count_);
    ztPutU32LE(header + 16, indexOffset);
    ztPutU32LE(header + 20, static_cast<uint32_t>(index_.size()));
    if (encrypted_) {
      std::memcpy(header + 24, kKeyCheck, 8);
      cipher_.Encrypt(header + 24, 8);
    }
    if (file_.Seek(0) != 0 ||
        file_.Write(header, sizeof header) != static_cast<int32_t>(sizeof header))
      ok = false;
  }
  if (!file_.Close()) ok = false;
  open_ = false;
  return ok ? 1 : 0;
}
