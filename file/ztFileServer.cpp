#include "file/ztFileServer.h"

#include <new>

#include "file/pathutil.h"
#include "file/textutil.h"
#include "file/ztBigFile.h"
#include "platform/ztDebug.h"
#include "platform/ztEngineConfig.h"
#include "platform/ztHeap.h"

namespace {

// "ztFileServer は複数作成出来ません"
const char kSecondServer[] =
    "ztFileServer \x82\xcd\x95\xa1\x90\x94\x8d\xec\x90\xac\x8fo\x97\x88\x82\xdc\x82\xb9\x82\xf1";

ztFileServer* g_server = nullptr;

constexpr uint32_t kLock = 0;
constexpr uint32_t kEvent = 0;

bool SameText(const char16_t* a, const char16_t* b) { return ztCompareNoCase(a, b) == 0; }

// A memory file that reads the buffer of a preload entry. It holds a
// reference of its own on the heap block, so the entry may be cleared while
// the file is still in use; and it refuses to write, since growing would
// give the shared block back to the heap.
class ztLentMemFile : public ztMemFile {
 public:
  ~ztLentMemFile() override { ztLentMemFile::Close(); }
  int32_t Lend(ztMemFile* owner) {
    void* data = nullptr;
    uint32_t used = 0;
    if (!owner || !owner->GetBuffer(&data, &used) || !Borrow(owner)) return 0;
    ztHeapAddRef(data);
    held_ = data;
    return 1;
  }
  int32_t Close() override {
    int32_t r = ztMemFile::Close();
    if (held_) {
      ztHeapFree(held_);
      held_ = nullptr;
    }
    return r;
  }
  int32_t Write(const void*, uint32_t) override { return -1; }

 private:
  void* held_ = nullptr;
};

}  // namespace

ztFileServer* ztGetFileServer() { return g_server; }

ztFileServer::ztFileServer() {
  if (g_server) AssertBox(kSecondServer);
  g_server = this;
  (void)CopyText(baseFolder_, u".");
  preloading_ = g_ztEngineConfig && g_ztEngineConfig->preload ? 1 : 0;
  if (preloading_) {
    preloader_.AddLock(kLock);
    preloader_.AddEvent(kEvent, 1, 0);
    if (preloader_.Start(this, &ztFileServer::Preloader)) {
      preloader_.SetPriority(ZT_PRIORITY_ABOVE_NORMAL);
    } else {
      // Without its thread the entries would never load; the server then
      // works as one without preloading.
      preloading_ = 0;
    }
  }
}

ztFileServer::~ztFileServer() {
  if (g_server == this) g_server = nullptr;
  if (preloading_) {
    stop_ = 1;
    preloader_.SetEvent(kEvent);
    preloader_.WaitForExit();
    ClearPreload();
  }
  for (auto& a : archives_) {
    delete a;
    a = nullptr;
  }
  for (ztArchive* a : archiveList_) delete a;
  archiveList_.clear();
  aliasGroups_.clear();
  aliases_.clear();
}

// ---- registration -------------------------------------------------------------

int32_t ztFileServer::SetArchive(int slot, ztArchive* archive) {
  if (slot < 0 || slot >= ZTFS_SLOTS) {
    delete archive;
    return 0;
  }
  delete archives_[slot];
  archives_[slot] = archive;
  return 1;
}

ztArchive* ztFileServer::GetArchive(int slot) const {
  return slot >= 0 && slot < ZTFS_SLOTS ? archives_[slot] : nullptr;
}

int32_t ztFileServer::LoadArchive(int slot, const char16_t* path, const void* key,
                                  uint32_t keyBytes, int32_t maxOpen) {
  if (slot < 0 || slot >= ZTFS_SLOTS) return 0;
  auto* a = new (std::nothrow) ztArchive(maxOpen);
  if (!a || !a->Open(path, key, keyBytes)) {
    delete a;
    (void)SetArchive(slot, nullptr);  // a valid slot: emptied
    return 0;
  }
  return SetArchive(slot, a);
}

int32_t ztFileServer::AddListArchive(const char16_t* path, const void* key, uint32_t keyBytes,
                                     int32_t maxOpen) {
  auto* a = new (std::nothrow) ztArchive(maxOpen);
  if (!a || !a->Open(path, key, keyBytes)) {
    delete a;
    return 0;
  }
  archiveList_.push_back(a);
  return 1;
}

int32_t ztFileServer::SetSearchSlot(int slot, const char16_t* name, const char16_t* folder,
                                    int32_t disk) {
  if (slot < 0 || slot >= ZTFS_SLOTS) return 0;
  SearchSlot s = {};
  if (CopyText(s.name, name ? name : u"") < 0 || CopyText(s.folder, folder ? folder : u"") < 0)
    return 0;
  s.disk = disk;
  search_[slot] = s;
  return 1;
}

int32_t ztFileServer::AddAliasMember(const char16_t* group, int32_t archiveSlot,
                                     const char16_t* folder, int32_t disk) {
  char16_t name[ZTFS_GROUP_NAME_UNITS];
  if (!group || CopyText(name, group) < 0) return 0;
  if (folder && TextLength(folder) >= ZT_MAX_PATH) return 0;
  if (archiveSlot < -1 || archiveSlot >= ZTFS_SLOTS) return 0;
  AliasGroup* g = nullptr;
  for (auto& existing : aliasGroups_)
    if (SameText(existing.name, name)) {
      g = &existing;
      break;
    }
  if (!g) {
    aliasGroups_.emplace_back();
    g = &aliasGroups_.back();
    (void)CopyText(g->name, name);
  }
  g->members.push_back(AliasMember{archiveSlot, folder ? folder : u"", disk});
  return 1;
}

int32_t ztFileServer::AddAlias(const char16_t* group, const char16_t* replacement,
                               const char16_t* find, const char16_t* put) {
  char16_t key[ZT_MAX_PATH];
  if (!group || !replacement || CopyText(key, group) < 0) return 0;
  ToLowerPath(key);
  aliases_[key] = Alias{replacement, find ? find : u"", put ? put : u""};
  return 1;
}

int32_t ztFileServer::SetBaseFolder(const char16_t* folder) {
  char16_t copy[ZT_MAX_PATH];
  if (!folder || CopyText(copy, folder) < 0) return 0;
  (void)CopyText(baseFolder_, copy);
  return 1;
}

// ---- preloading ---------------------------------------------------------------

int32_t ztFileServer::AddPreload(const char16_t* name, int32_t group, int32_t flags) {
  if (!preloading_ || !name) return 0;
  // cppcheck-suppress legacyUninitvar ; value-initialised by the braces
  auto* e = new (std::nothrow) PreloadEntry{};
  if (!e) return 0;
  if (CopyText(e->name, name) < 0) {
    delete e;
    return 0;
  }
  e->group = group;
  // The preloader reads; a write bit would make the lookup create a file.
  e->flags = flags & ~ZTFS_WRITE;
  preloader_.Lock(kLock);
  preload_.push_back(e);
  preloader_.Unlock(kLock);
  preloader_.SetEvent(kEvent);
  return 1;
}

void ztFileServer::ClearPreload() {
  if (!preloading_) return;
  preloader_.Lock(kLock);
  for (PreloadEntry* e : preload_) {
    delete e->file;
    delete e;
  }
  preload_.clear();
  preloadGroup_ = ZTFS_NO_GROUP;
  preloader_.Unlock(kLock);
}

int32_t ztFileServer::GetPreloadGroup() { return preloadGroup_; }

int32_t ztFileServer::IsPreloaded(const char16_t* name) {
  if (!preloading_) return 0;
  int32_t loaded = 0;
  preloader_.Lock(kLock);
  for (PreloadEntry* e : preload_)
    if (e->loaded && SameText(e->name, name)) {
      loaded = 1;
      break;
    }
  preloader_.Unlock(kLock);
  return loaded;
}

void ztFileServer::Preloader(ztThread*, void* self) {
  auto* server = static_cast<ztFileServer*>(self);
  while (!server->stop_) {
    server->PreloadPass();
    // A pass that reaches the end resets the event and so may swallow the
    // signal of a stop that came while it ran. The flag is set before that
    // signal, so it is seen here; waiting instead would be for ever.
    if (server->stop_) break;
    server->preloader_.WaitEvent(kEvent, ZT_WAIT_FOREVER);
  }
}

// One pass: loads the entries of the first group that still has work, up to
// the first entry of another group. The event stays signalled when the pass
// stopped early, so the next group follows at once.
void ztFileServer::PreloadPass() {
  preloader_.Lock(kLock);
  bool haveGroup = false;
  int32_t group = 0;
  bool reachedEnd = true;
  for (size_t i = 0; i < preload_.size() && !stop_; ++i) {
    PreloadEntry* e = preload_[i];
    if (haveGroup && e->group != group) {
      preloadGroup_ = group;
      reachedEnd = false;
      break;
    }
    if (!e->loaded) {
      ztFileBase* f = OpenByName(e->name, e->flags | ZTFS_MEMORY_COPY);
      // The memory copy comes back as a ztMemFile.
      e->file = static_cast<ztMemFile*>(f);
      e->loaded = 1;
      group = e->group;
      haveGroup = true;
    }
  }
  if (reachedEnd) {
    preloadGroup_ = ZTFS_NO_GROUP;
    preloader_.ResetEvent(kEvent);
  }
  preloader_.Unlock(kLock);
}

ztFileBase* ztFileServer::FromPreload(const char16_t* name) {
  if (!preloading_) return nullptr;
  ztFileBase* result = nullptr;
  preloader_.Lock(kLock);
  for (PreloadEntry* e : preload_) {
    if (!e->loaded || !e->file || !SameText(e->name, name)) continue;
    auto* lent = new (std::nothrow) ztLentMemFile;
    if (lent && lent->Lend(e->file)) {
      result = lent;
    } else {
      delete lent;
    }
    break;
  }
  preloader_.Unlock(kLock);
  return result;
}

// ---- lookups --------------------------------------------------------------------

ztFileBase* ztFileServer::TryFolder(const char16_t* folder, const char16_t* file) {
  char16_t path[ZT_MAX_PATH];
  if (folder && *folder) {
    size_t fl = TextLength(folder), nl = TextLength(file);
    // "%s\%s" must fit a path; a cut path would name another file.
    if (fl + 1 + nl >= 256) return nullptr;
    (void)CopyText(path, folder);
    path[fl] = u'\\';
    (void)CopyText(path + fl + 1, ZT_MAX_PATH - fl - 1, file);
  } else {
    if (CopyText(path, file) < 0) return nullptr;
  }
  auto* f = new (std::nothrow) ztFile;
  if (f && f->Open(path, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return f;
  delete f;
  return nullptr;
}

ztFileBase* ztFileServer::TryMember(ztArchive* archive, const char16_t* file) {
  if (!archive) return nullptr;
  auto* f = new (std::nothrow) ztBigFile(archive);
  if (f && f->Open(file, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return f;
  delete f;
  return nullptr;
}

ztFileBase* ztFileServer::TryArchive(int slot, const char16_t* file) {
  if (slot < 0 || slot >= ZTFS_SLOTS) return nullptr;
  return TryMember(archives_[slot], file);
}

int ztFileServer::SplitName(const char16_t* name, char16_t (&group)[ZT_MAX_PATH], char16_t (&file)[ZT_MAX_PATH]) {
  // Group before the first '/', file part after it.
  group[0] = 0;
  const int slash = FindChar(name, u'/');
  if (slash < 0) return CopyText(file, name) < 0 ? 0 : 1;
  if (static_cast<size_t>(slash) >= ZT_MAX_PATH) return 0;
  CopyBytes(group, name, static_cast<size_t>(slash) * sizeof(char16_t));
  group[slash] = 0;
  return CopyText(file, name + slash + 1) < 0 ? 0 : 1;
}

int ztFileServer::ApplyAlias(char16_t (&group)[ZT_MAX_PATH], char16_t (&file)[ZT_MAX_PATH]) const {
  char16_t lower[ZT_MAX_PATH];
  (void)CopyText(lower, group);
  ToLowerPath(lower);
  auto alias = aliases_.lower_bound(lower);
  if (alias == aliases_.end() || alias->first != lower) return 1;
  const Alias& a = alias->second;
  char16_t replaced[ZT_MAX_PATH];
  if (ReplaceText(replaced, file, a.find.c_str(), a.put.c_str()) < 0) return 0;
  if (CopyText(group, a.group.c_str()) < 0) return 0;
  (void)CopyText(file, replaced);
  return 1;
}

ztFileBase* ztFileServer::FromAliasGroup(const char16_t* group, const char16_t* file, SearchOrder order) {
  for (const AliasGroup& g : aliasGroups_) {
    if (!SameText(g.name, group)) continue;
    for (const AliasMember& m : g.members) {
      const bool folder = order != SearchOrder::kArchivesOnly && m.disk;
      if (order == SearchOrder::kFolderFirst && folder)
        if (ztFileBase* f = TryFolder(m.folder.c_str(), file)) return f;
      if (m.archiveSlot != -1)
        if (ztFileBase* f = TryArchive(m.archiveSlot, file)) return f;
      if (order == SearchOrder::kArchiveFirst && folder)
        if (ztFileBase* f = TryFolder(m.folder.c_str(), file)) return f;
    }
  }
  return nullptr;
}

ztFileBase* ztFileServer::FromArchiveSlots(const char16_t* group, const char16_t* file) {
  for (ztArchive* a : archives_) {
    if (!a || !a->GetArchiveName() || !SameText(a->GetArchiveName(), group)) continue;
    if (ztFileBase* f = TryMember(a, file)) return f;
  }
  return nullptr;
}

ztFileBase* ztFileServer::FromSearchSlots(const char16_t* group, const char16_t* file, SearchOrder order) {
  for (int i = 0; i < ZTFS_SLOTS; ++i) {
    const SearchSlot& s = search_[i];
    if (order == SearchOrder::kArchiveFirst) {
      if (!SameText(s.name, group)) continue;
      if (ztFileBase* f = TryArchive(i, file)) return f;
      if (s.disk)
        if (ztFileBase* f = TryFolder(s.folder, file)) return f;
      continue;
    }
    // Folder first. Without a group every slot's folder is tried, whatever
    // its disk flag says.
    bool tryFolder = true;
    if (group[0]) {
      if (!SameText(s.name, group)) continue;
      tryFolder = s.disk != 0;
    }
    if (tryFolder)
      if (ztFileBase* f = TryFolder(s.folder, file)) return f;
    if (ztFileBase* f = TryArchive(i, file)) return f;
  }
  return nullptr;
}

ztFileBase* ztFileServer::Lookup(const char16_t* name, int32_t type) {
  if (!name) return nullptr;
  if (ztFileBase* f = FromPreload(name)) return f;

  char16_t group[ZT_MAX_PATH] = {};
  char16_t file[ZT_MAX_PATH] = {};
  if (!SplitName(name, group, file) || !ApplyAlias(group, file)) return nullptr;

  // The archive list is searched before everything else.
  for (ztArchive* a : archiveList_) {
    if (a->HasMember(file)) return TryMember(a, file);
  }

  const bool aliasGroup = SameText(GetExtension(group), u"lst");
  switch (type) {
    case ZTFS_TYPE_FILE: {
      auto* f = new (std::nothrow) ztFile;
      if (f && f->Open(name, ZTFILE_READ | ZTFILE_OPEN_EXISTING)) return f;
      delete f;
      return nullptr;
    }
    case ZTFS_TYPE_ARCHIVE:
      return aliasGroup ? FromAliasGroup(group, file, SearchOrder::kArchivesOnly) : FromArchiveSlots(group, file);
    case ZTFS_TYPE_FOLDER_FIRST:
      return aliasGroup ? FromAliasGroup(group, file, SearchOrder::kFolderFirst)
                        : FromSearchSlots(group, file, SearchOrder::kFolderFirst);
    case ZTFS_TYPE_ARCHIVE_FIRST:
      return aliasGroup ? FromAliasGroup(group, file, SearchOrder::kArchiveFirst)
                        : FromSearchSlots(group, file, SearchOrder::kArchiveFirst);
    default:
      return nullptr;
  }
}

ztFileBase* ztFileServer::OpenByName(const char16_t* name, int32_t flags) {
  if (!name) return nullptr;
  if (flags & ZTFS_WRITE) {
    auto* f = new (std::nothrow) ztFile;
    if (f && f->Open(name, ZTFILE_WRITE | ZTFILE_CREATE_ALWAYS)) return f;
    delete f;
    return nullptr;
  }
  const int32_t type = flags & 0xFFFF & ~ZTFS_MEMORY_COPY;
  ztFileBase* found = Lookup(name, type);
  if (!found) {
    if (!(flags & ZTFS_QUIET)) DebugLogW(u"Open file error > %s", name);
    return nullptr;
  }
  if ((flags & ZTFS_MEMORY_COPY) != ZTFS_MEMORY_COPY) return found;
  auto* mem = new (std::nothrow) ztMemFile;
  int32_t ok = mem ? mem->LoadFrom(found) : 0;
  found->Close();
  delete found;
  if (!ok) {
    delete mem;
    return nullptr;
  }
  return mem;
}

int32_t ztFileServer::ReadByName(const char16_t* name, void* buffer, uint32_t capacity,
                                 int32_t flags) {
  ztFileBase* f = OpenByName(name, flags & ~0x10);
  if (!f) return 0;
  int32_t size = f->GetSize();
  int32_t result = size;
  if (buffer) {
    if (size < 0 || static_cast<uint32_t>(size) > capacity)
      result = 0;
    else
      result = f->Read(buffer, static_cast<uint32_t>(size));
  }
  delete f;
  return result;
}

int32_t ztFileServer::ExistsByName(const char16_t* name) {
  ztFileBase* f = Lookup(name, ZTFS_TYPE_FOLDER_FIRST);
  if (!f) return 0;
  delete f;
  return 1;
}
