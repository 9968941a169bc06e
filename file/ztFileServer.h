// ztFileServer: the library's one registry of places where named data can
// live (archive slots, named search folders, alias groups, an alias table,
// an archive list searched before everything else) and an optional
// background preloader. A logical name "group/file" is looked up there and
// comes back as a file object: ztFile, ztBigFile or ztMemFile.
//
// The library start-up makes the one server and the shut-down deletes it.
// Registration (folders, archives, aliases, preload entries) is done before
// lookups begin; afterwards the tables are only read.
//
// Both builds: the lookup rules are plain code over file objects, the
// preloader a ztThread, and the one system-dependent piece, the
// case-insensitive name comparison, is ztCompareNoCase (textutil.h).
#pragma once

#include <atomic>
#include <climits>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "file/ztArchive.h"
#include "file/ztFile.h"
#include "platform/ztThread.h"

class ztMemFile;

// OpenByName flag bits.
enum : int32_t {
  ZTFS_TYPE_FILE = 1,           // a plain file by the whole logical name
  ZTFS_TYPE_ARCHIVE = 2,        // archives only
  ZTFS_TYPE_FOLDER_FIRST = 3,   // folder before archive
  ZTFS_TYPE_ARCHIVE_FIRST = 4,  // archive before folder
  ZTFS_MEMORY_COPY = 0x110,     // both bits: read the found object into memory
  ZTFS_WRITE = 0x20,            // open the name as a disk file for writing
  ZTFS_QUIET = 0x10000,         // no "Open file error" line on failure
};

constexpr int ZTFS_SLOTS = 256;
constexpr size_t ZTFS_SLOT_NAME_UNITS = 40;
constexpr size_t ZTFS_GROUP_NAME_UNITS = 32;
constexpr int32_t ZTFS_NO_GROUP = INT_MAX;

class ztFileServer {
 public:
  // A second server while one exists is a programming error (assertion
  // box). Preloading is on when the engine configuration asks for it.
  ztFileServer();
  ~ztFileServer();
  ztFileServer(const ztFileServer&) = delete;
  ztFileServer& operator=(const ztFileServer&) = delete;

  // ---- lookups -----------------------------------------------------------

  // A new file object for `name`, or null. See the flag bits above; the low
  // 16 bits without 0x110 are the lookup type. The caller deletes it.
  ztFileBase* OpenByName(const char16_t* name, int32_t flags);
  // Looks `name` up with `flags` less 0x10. Without a buffer: the size.
  // With one: reads the whole object into it and returns the read's result,
  // or 0 when the object is larger than `capacity`. 0 when nothing found.
  int32_t ReadByName(const char16_t* name, void* buffer, uint32_t capacity, int32_t flags);
  // 1 when lookup type 3 finds something (the object is deleted at once).
  // A question, not a failed open: no "Open file error" line is written.
  int32_t ExistsByName(const char16_t* name);

  // ---- registration --------------------------------------------------------

  // Opens an archive file into slot `slot` (0 to 255), replacing what was
  // there. 1 on success; 0 for a bad slot or an archive that did not open
  // (the slot is then empty).
  [[nodiscard]] int32_t LoadArchive(int slot, const char16_t* path, const void* key = nullptr,
                      uint32_t keyBytes = 0, int32_t maxOpen = 16);
  // Puts an opened archive into a slot; the server owns it from then on
  // (also when 0 is returned for a bad slot, it is deleted).
  [[nodiscard]] int32_t SetArchive(int slot, ztArchive* archive);
  ztArchive* GetArchive(int slot) const;
  // Opens an archive and appends it to the archive list.
  [[nodiscard]] int32_t AddListArchive(const char16_t* path, const void* key = nullptr, uint32_t keyBytes = 0,
                         int32_t maxOpen = 16);
  // Search slot `slot`: its name (the group it answers to, at most 39
  // units), its folder (at most 259) and whether plain files in the folder
  // may be used. 0 for a bad slot or text that does not fit.
  [[nodiscard]] int32_t SetSearchSlot(int slot, const char16_t* name, const char16_t* folder, int32_t disk);
  // Appends a member to the alias group `name` ("x.lst"; made when missing).
  // `archiveSlot` -1 for none. 0 when the name or folder does not fit.
  [[nodiscard]] int32_t AddAliasMember(const char16_t* group, int32_t archiveSlot, const char16_t* folder,
                         int32_t disk);
  // Alias table: lookups of group `group` (without regard to case) use
  // `replacement` instead and have every `find` in the file part replaced
  // by `put`.
  [[nodiscard]] int32_t AddAlias(const char16_t* group, const char16_t* replacement, const char16_t* find,
                   const char16_t* put);
  // Queues `name` for the preloader (only with preloading on) and wakes it.
  // Entries of one group are loaded in one pass. 0 without preloading.
  [[nodiscard]] int32_t AddPreload(const char16_t* name, int32_t group, int32_t flags);
  // Deletes every preload entry and its memory copy (files already handed
  // out keep their data).
  void ClearPreload();

  const char16_t* GetBaseFolder() const { return baseFolder_; }
  [[nodiscard]] int32_t SetBaseFolder(const char16_t* folder);
  int32_t IsPreloading() const { return preloading_; }
  // The group being preloaded, ZTFS_NO_GROUP when nothing is pending.
  int32_t GetPreloadGroup();
  // Whether the preload entry `name` has been through the preloader.
  int32_t IsPreloaded(const char16_t* name);

 private:
  struct SearchSlot {
    char16_t name[ZTFS_SLOT_NAME_UNITS];
    char16_t folder[ZT_MAX_PATH];
    int32_t disk;
  };
  struct AliasMember {
    int32_t archiveSlot;
    std::u16string folder;
    int32_t disk;
  };
  struct AliasGroup {
    char16_t name[ZTFS_GROUP_NAME_UNITS];
    std::vector<AliasMember> members;
  };
  struct Alias {
    std::u16string group;
    std::u16string find;
    std::u16string put;
  };
  struct PreloadEntry {
    char16_t name[ZT_MAX_PATH];
    ztMemFile* file;
    int32_t group;
    int32_t flags;
    int32_t loaded;
  };

  // Where a lookup type looks, in order.
  enum class SearchOrder { kArchivesOnly, kFolderFirst, kArchiveFirst };

  ztFileBase* Lookup(const char16_t* name, int32_t type);
  // "group/file" into its two parts; 0 when a part does not fit.
  static int SplitName(const char16_t* name, char16_t (&group)[ZT_MAX_PATH], char16_t (&file)[ZT_MAX_PATH]);
  // The alias table's replacement of a group and its file part; 0 when the
  // result does not fit.
  int ApplyAlias(char16_t (&group)[ZT_MAX_PATH], char16_t (&file)[ZT_MAX_PATH]) const;
  // Each member of the alias group, its folder and its archive slot in
  // `order`.
  ztFileBase* FromAliasGroup(const char16_t* group, const char16_t* file, SearchOrder order);
  // The archive slots whose archive carries the group's name.
  ztFileBase* FromArchiveSlots(const char16_t* group, const char16_t* file);
  // The search slots answering to the group, folder or archive first.
  ztFileBase* FromSearchSlots(const char16_t* group, const char16_t* file, SearchOrder order);
  ztFileBase* FromPreload(const char16_t* name);
  ztFileBase* TryFolder(const char16_t* folder, const char16_t* file);
  ztFileBase* TryArchive(int slot, const char16_t* file);
  ztFileBase* TryMember(ztArchive* archive, const char16_t* file);
  static void Preloader(ztThread* thread, void* self);
  void PreloadPass();

  ztArchive* archives_[ZTFS_SLOTS] = {};
  SearchSlot search_[ZTFS_SLOTS] = {};
  char16_t baseFolder_[ZT_MAX_PATH] = {};
  std::vector<AliasGroup> aliasGroups_;
  std::vector<ztArchive*> archiveList_;
  std::vector<PreloadEntry*> preload_;
  std::atomic<int32_t> stop_{0};
  std::atomic<int32_t> preloadGroup_{ZTFS_NO_GROUP};
  ztThread preloader_;
  int32_t preloading_ = 0;
  std::map<std::u16string, Alias> aliases_;
};

// The one server, or null.
ztFileServer* ztGetFileServer();

