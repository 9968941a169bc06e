// ztArchive: one opened archive file ("big file") whose members are read
// through ztBigFile, and ztArchiveWriter, which makes such files.
//
// Archive file layout (every number little-endian):
//
//   header, 32 bytes at offset 0
//      0  4  magic "ZTAR"
//      4  4  format version, 1
//      8  4  archive flags; bit 0: member data is enciphered
//     12  4  member count
//     16  4  offset of the index
//     20  4  size of the index in bytes (exactly the records below)
//     24  8  key check: the block "ZTARKEY!" enciphered like member data
//            (zero in a plain archive), so a wrong key is refused at once
//
//   index: one record per member
//      0  4  offset of the member's data in the archive file
//      4  4  size of the member's data
//      8  4  member flags (kept for the owner; the library gives them no
//            meaning)
//     12  2  name length n in UTF-16 units (1 to 259)
//     14 2n  name, UTF-16, upper-case (A-Z folded), unique
//
//   member data: anywhere else in the file. In an enciphered archive the
//   data of a member is consecutive 8-byte blocks counted from the member's
//   start, each enciphered with Blowfish (ECB, little-endian halves, first
//   half left) under the archive's key; a final part shorter than 8 bytes is
//   stored as it is.
//
// The key is not stored: whoever opens an enciphered archive supplies it.
// Every record of the index is checked against the file's size when the
// archive is opened; a member that would reach past the end of the file
// makes the whole archive unreadable rather than being read.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "file/blowfish.h"
#include "file/ztFile.h"

constexpr uint32_t ZTARC_HEADER_SIZE = 32;
constexpr uint32_t ZTARC_VERSION = 1;
constexpr uint32_t ZTARC_ENCIPHERED = 0x01;
constexpr uint32_t ZTARC_RECORD_FIXED = 14;
constexpr uint32_t ZTARC_NAME_UNITS = 260;  // terminator included

// An open member. Valid only while `magic` is ZTARC_OPEN_MAGIC ("OPEN" in
// memory order); a free record is all zero.
constexpr uint32_t ZTARC_OPEN_MAGIC = 0x4E45504F;
struct ztArchiveMember {
  uint32_t magic;
  uint32_t start;     // member's offset in the archive file
  uint32_t current;   // absolute offset of the position
  uint32_t position;  // inside the member
  uint32_t size;
  char16_t name[ZTARC_NAME_UNITS];
  int32_t flags;
};

class ztArchive {
 public:
  struct Info {
    uint32_t offset;
    uint32_t size;
    int32_t flags;
  };

  // `maxOpen` members can be open at once (at least 1).
  explicit ztArchive(int32_t maxOpen = 16);
  ~ztArchive();
  ztArchive(const ztArchive&) = delete;
  ztArchive& operator=(const ztArchive&) = delete;

  // Opens and checks an archive file. An enciphered archive needs its key
  // (`key`, `keyBytes`); a plain one ignores it. The archive's name becomes
  // the file's name without folder and extension. 1 on success; 0 when the
  // file cannot be read, is not an archive, has an index or member outside
  // the file, a bad or duplicate name, or the key is missing or wrong (a
  // line in the debug log says which). An open archive is closed first.
  [[nodiscard]] int32_t Open(const char16_t* path, const void* key = nullptr, uint32_t keyBytes = 0);
  // Frees the index, the file, the open-member table and the cipher.
  void Close();

  // A free open-member record for `name` (upper-cased, whole-name match), or
  // null when there is no index or no such member. All records in use is a
  // programming error: the assertion box.
  ztArchiveMember* OpenMember(const char16_t* name);
  void CloseMember(ztArchiveMember* member);
  // Reads min(count, size - position) bytes at the position. Null buffer:
  // the assertion box. 0 for count 0; -1 for a record that is not open.
  int32_t ReadMember(ztArchiveMember* member, void* buffer, uint32_t count);
  // origin 0: from the start, 1: from the position; others are the
  // assertion box. A position at or past the end is put on the last byte;
  // the result is `offset`, or with that clamp offset + size - (the
  // unclamped position). -1 for a record that is not open.
  int32_t SeekMember(ztArchiveMember* member, int32_t offset, int32_t origin);
  int32_t HasMember(const char16_t* name);
  // Null while no index is loaded.
  const char16_t* GetArchiveName() const;
  void SetArchiveName(const char16_t* name);

  // The index entry of `name`, or null.
  const Info* FindMember(const char16_t* name) const;
  int32_t IsLoaded() const { return index_ ? 1 : 0; }
  int32_t IsEncrypted() const { return encrypted_; }
  int32_t GetMemberCount() const;
  int32_t GetMaxOpen() const { return maxOpen_; }

 private:
  using Index = std::map<std::u16string, Info>;
  struct Header;
  // The steps of Open, in order. Each gives null, or the reason the archive
  // is refused for the debug log; Open then closes what they left behind.
  const char* ReadHeader(uint32_t fileSize, Header* header);
  // Sets up the cipher and checks the key against the header's key check.
  const char* UseKey(const uint8_t* check, const void* key, uint32_t keyBytes);
  // Reads and checks every record; `index` receives the member table.
  const char* ReadIndex(uint32_t fileSize, const Header& header, std::unique_ptr<Index>* index);
  // Index lookup; without an index a programming error.
  const Info* Lookup(const char16_t* upperName) const;
  // Seek and read `count` bytes at `offset`; anything short is an
  // unreadable archive: the assertion box, "read failed" when the seek or
  // the system's read failed or a short read was not the plain `tail`, the
  // decipher error for a tail that read another count.
  void ReadAt(const ztArchiveMember* m, uint32_t offset, void* out, uint32_t count, bool tail);

  int32_t maxOpen_;
  ztArchiveMember* records_ = nullptr;
  ztFile file_;
  char16_t name_[ZTARC_NAME_UNITS] = {};
  Index* index_ = nullptr;
  int32_t encrypted_ = 0;
  ztBlowfish* cipher_ = nullptr;
  // Members of one archive share its file pointer and its open-member
  // table; a preloader thread and the caller may use them at the same time.
  std::mutex fileLock_;
};

// Makes an archive file: Begin, AddMember for each member, Finish. The data
// goes to the file as members are added; the index and header at Finish.
class ztArchiveWriter {
 public:
  ztArchiveWriter() = default;
  ~ztArchiveWriter();
  ztArchiveWriter(const ztArchiveWriter&) = delete;
  ztArchiveWriter& operator=(const ztArchiveWriter&) = delete;

  // Creates or truncates `path`. With a key (1 to 72 bytes) member data is
  // enciphered. 1, or 0 when the file cannot be made.
  int32_t Begin(const char16_t* path, const void* key = nullptr, uint32_t keyBytes = 0);
  // Adds one member; the name is upper-cased. 0 for an empty, too long or
  // duplicate name, a failed write, or an archive past 4 GiB.
  int32_t AddMember(const char16_t* name, const void* data, uint32_t size, int32_t flags = 0);
  // Writes the index and header and closes the file. 1 on success.
  int32_t Finish();

 private:
  ztFile file_;
  bool open_ = false;
  bool failed_ = false;
  uint32_t offset_ = ZTARC_HEADER_SIZE;
  std::set<std::u16string> names_;
  std::vector<uint8_t> index_;
  uint32_t count_ = 0;
  bool encrypted_ = false;
  ztBlowfish cipher_;
};
