#include "file/ztFileServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "file/ztBigFile.h"
#include "platform/ztEngineConfig.h"
#include "tests/common/testutil.h"

using zt_test::Cp932;
using zt_test::TempDir;

namespace {

void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

const uint8_t kKey[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};

struct Member {
  std::u16string name;
  std::string data;
};

bool MakeArchive(const std::u16string& path, std::initializer_list<Member> members,
                 bool encrypted = false) {
  ztArchiveWriter w;
  if (!w.Begin(path.c_str(), encrypted ? kKey : nullptr, encrypted ? sizeof kKey : 0)) return false;
  for (const Member& m : members)
    if (!w.AddMember(m.name.c_str(), m.data.data(), static_cast<uint32_t>(m.data.size())))
      return false;
  return w.Finish() == 1;
}

// Whole content of a found object, or "<null>".
std::string Content(ztFileBase* f) {
  if (!f) return "<null>";
  std::string out;
  int32_t size = f->GetSize();
  if (size > 0) {
    out.resize(static_cast<size_t>(size));
    int32_t got = f->Read(&out[0], static_cast<uint32_t>(size));
    out.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  delete f;
  return out;
}

enum Kind { kNull, kDisk, kMember, kMemory };
Kind KindOf(ztFileBase* f) {
  if (!f) return kNull;
  if (dynamic_cast<ztBigFile*>(f)) return kMember;
  if (dynamic_cast<ztMemFile*>(f)) return kMemory;
  if (dynamic_cast<ztFile*>(f)) return kDisk;
  return kNull;
}

class FileServerTest : public ::testing::Test {
 protected:
  std::u16string P(const std::u16string& name) { return dir.Join(name); }
  // A file in a subfolder of the temporary folder.
  void Put(const std::u16string& folder, const std::u16string& name, const std::string& data) {
    ASSERT_TRUE(dir.Write(folder + std::u16string(1, zt_test::kSep) + name, data));
  }
  std::string Open(const std::u16string& name, int32_t flags) {
    return Content(server.OpenByName(name.c_str(), flags | ZTFS_QUIET));
  }
  Kind OpenKind(const std::u16string& name, int32_t flags) {
    ztFileBase* f = server.OpenByName(name.c_str(), flags | ZTFS_QUIET);
    Kind k = KindOf(f);
    delete f;
    return k;
  }

  TempDir dir;
  ztFileServer server;
};

}  // namespace

// ---- the one server ------------------------------------------------------------

TEST_F(FileServerTest, IsTheGlobalAndASecondOneIsAnAssertion) {
  EXPECT_EQ(ztGetFileServer(), &server);
  EXPECT_EQ(std::u16string(server.GetBaseFolder()), u".");
  EXPECT_EQ(server.IsPreloading(), 0);
  try {
    ztFileServer second;
    ADD_FAILURE() << "no assertion";
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, Cp932("ztFileServer は複数作成出来ません"));
  }
  EXPECT_EQ(ztGetFileServer(), &server);
}

// ---- empty registry ----------------------------------------------------------------

TEST_F(FileServerTest, EmptyRegistryFindsPlainFilesOnlyWithTypeOne) {
  ASSERT_TRUE(dir.Write(u"a.txt", "disk"));
  std::u16string name = P(u"a.txt");
  EXPECT_EQ(Open(name, ZTFS_TYPE_FILE), "disk");
  EXPECT_EQ(OpenKind(name, ZTFS_TYPE_FILE), kDisk);
  zt_test::ClearLog();
  EXPECT_EQ(server.OpenByName(name.c_str(), ZTFS_TYPE_ARCHIVE), nullptr);
  EXPECT_TRUE(zt_test::LogHas(Cp932("Open file error > ") + zt_test::Utf8(name)));
  zt_test::ClearLog();
  EXPECT_EQ(server.OpenByName(name.c_str(), ZTFS_TYPE_ARCHIVE | ZTFS_QUIET), nullptr);
  EXPECT_TRUE(zt_test::LogLines().empty());
  // Types outside 1 to 4 find nothing.
  EXPECT_EQ(OpenKind(name, 0), kNull);
  EXPECT_EQ(OpenKind(name, 5), kNull);
  // 0x10 and 0x100 are not part of the type.
  EXPECT_EQ(OpenKind(name, ZTFS_TYPE_FILE | 0x10), kDisk);
  EXPECT_EQ(OpenKind(name, ZTFS_TYPE_FILE | 0x100), kDisk);
}

// ---- type 3: folder before archive --------------------------------------------

TEST_F(FileServerTest, NameWithoutGroupTriesEverySlotInOrder) {
  Put(u"A", u"x.txt", "from A");
  Put(u"B", u"x.txt", "from B");
  Put(u"B", u"y.txt", "y from B");
  ASSERT_TRUE(MakeArchive(P(u"arc0.zta"), {{u"y.txt", "y from archive 0"}, {u"z.txt", "z0"}}));
  // Slot 0: folder A (disk flag 0 does not matter without a group) and an
  // archive; slot 1: folder B.
  EXPECT_TRUE(server.SetSearchSlot(0, u"a", P(u"A").c_str(), 0));
  ASSERT_EQ(server.LoadArchive(0, P(u"arc0.zta").c_str()), 1);
  EXPECT_TRUE(server.SetSearchSlot(1, u"b", P(u"B").c_str(), 1));
  EXPECT_EQ(Open(u"x.txt", 3), "from A");
  // Folder A lacks y.txt, so archive 0 comes before folder B.
  EXPECT_EQ(Open(u"y.txt", 3), "y from archive 0");
  EXPECT_EQ(OpenKind(u"y.txt", 3), kMember);
  EXPECT_EQ(Open(u"nothing.txt", 3), "<null>");
}

TEST_F(FileServerTest, GroupSelectsSlotsByNameAndHonoursTheDiskFlag) {
  Put(u"G", u"a.bmp", "gfx a");
  Put(u"S1", u"a.wav", "S1 a");
  Put(u"S2", u"a.wav", "S2 a");
  Put(u"S2", u"b.wav", "S2 b");
  ASSERT_TRUE(MakeArchive(P(u"s1.zta"), {{u"a.wav", "archive 2 a"}, {u"c.wav", "archive 2 c"}}));
  EXPECT_TRUE(server.SetSearchSlot(0, u"gfx", P(u"G").c_str(), 1));
  EXPECT_TRUE(server.SetSearchSlot(2, u"snd", P(u"S1").c_str(), 0));  // folder not to be used
  EXPECT_TRUE(server.LoadArchive(2, P(u"s1.zta").c_str()));
  EXPECT_TRUE(server.SetSearchSlot(5, u"SND", P(u"S2").c_str(), 1));
  EXPECT_EQ(Open(u"snd/a.wav", 3), "archive 2 a");
  EXPECT_EQ(Open(u"Snd/b.wav", 3), "S2 b");
  EXPECT_EQ(Open(u"snd/a.bmp", 3), "<null>");
  EXPECT_EQ(Open(u"gfx/a.bmp", 3), "gfx a");
  EXPECT_EQ(Open(u"gfx/a.wav", 3), "<null>");
}

// ---- type 4: archive before folder --------------------------------------------

TEST_F(FileServerTest, ArchiveBeforeFolder) {
  Put(u"S", u"a.wav", "folder a");
  Put(u"S", u"b.wav", "folder b");
  ASSERT_TRUE(MakeArchive(P(u"s.zta"), {{u"a.wav", "archive a"}}));
  EXPECT_TRUE(server.SetSearchSlot(3, u"snd", P(u"S").c_str(), 1));
  EXPECT_TRUE(server.LoadArchive(3, P(u"s.zta").c_str()));
  EXPECT_TRUE(server.SetSearchSlot(4, u"nodisk", P(u"S").c_str(), 0));
  EXPECT_EQ(Open(u"snd/a.wav", 3), "folder a");
  EXPECT_EQ(Open(u"snd/a.wav", 4), "archive a");
  EXPECT_EQ(Open(u"snd/b.wav", 4), "folder b");
  EXPECT_EQ(Open(u"nodisk/b.wav", 4), "<null>");
}

// ---- type 2: archives only ------------------------------------------------------

TEST_F(FileServerTest, ArchivesOnlyMatchTheArchiveName) {
  Put(u"voice", u"v.ogg", "on disk");
  ASSERT_TRUE(MakeArchive(P(u"voice.zta"), {{u"v.ogg", "first voice"}}));
  ASSERT_TRUE(MakeArchive(P(u"voice2.zta"), {{u"v.ogg", "second"}, {u"w.ogg", "w"}}));
  EXPECT_TRUE(server.LoadArchive(9, P(u"voice.zta").c_str()));
  EXPECT_TRUE(server.LoadArchive(4, P(u"voice2.zta").c_str()));
  server.GetArchive(4)->SetArchiveName(u"VOICE");
  EXPECT_TRUE(server.SetSearchSlot(0, u"voice", P(u"voice").c_str(), 1));
  // Slot 4 comes before slot 9.
  EXPECT_EQ(Open(u"voice/v.ogg", 2), "second");
  EXPECT_EQ(Open(u"voice/w.ogg", 2), "w");
  EXPECT_EQ(Open(u"voice2/w.ogg", 2), "<null>");
  EXPECT_EQ(Open(u"other/v.ogg", 2), "<null>");
}

// ---- alias groups and the alias table -------------------------------------------

TEST_F(FileServerTest, AliasGroupsTryTheirMembersInOrder) {
  Put(u"M1", u"song.mid", "m1 song");
  Put(u"M2", u"only2.mid", "m2 only");
  Put(u"M2", u"both.mid", "m2 both");
  ASSERT_TRUE(
      MakeArchive(P(u"m.zta"), {{u"song.mid", "archive song"}, {u"both.mid", "archive both"}}));
  EXPECT_TRUE(server.LoadArchive(7, P(u"m.zta").c_str()));
  ASSERT_EQ(server.AddAliasMember(u"music.lst", 7, P(u"M1").c_str(), 1), 1);
  ASSERT_EQ(server.AddAliasMember(u"music.lst", -1, P(u"M2").c_str(), 1), 1);
  ASSERT_EQ(server.AddAliasMember(u"quiet.lst", 7, P(u"M1").c_str(), 0), 1);
  // Type 3: member 1's folder, member 1's archive, member 2's folder.
  EXPECT_EQ(Open(u"music.lst/song.mid", 3), "m1 song");
  EXPECT_EQ(Open(u"MUSIC.LST/both.mid", 3), "archive both");
  EXPECT_EQ(Open(u"music.lst/only2.mid", 3), "m2 only");
  // Type 4: member 1's archive first.
  EXPECT_EQ(Open(u"music.lst/song.mid", 4), "archive song");
  // Type 2: archives only.
  EXPECT_EQ(Open(u"music.lst/only2.mid", 2), "<null>");
  EXPECT_EQ(Open(u"music.lst/both.mid", 2), "archive both");
  // Disk flag 0: the folder is skipped.
  EXPECT_EQ(Open(u"quiet.lst/song.mid", 3), "archive song");
  // Not an alias group: no slot is named "music".
  EXPECT_EQ(Open(u"music/song.mid", 3), "<null>");
}

TEST_F(FileServerTest, AliasTableReplacesGroupAndText) {
  Put(u"S", u"hello_en.wav", "english");
  Put(u"S", u"hello_jp.wav", "japanese");
  EXPECT_TRUE(server.SetSearchSlot(1, u"snd", P(u"S").c_str(), 1));
  ASSERT_EQ(server.AddAlias(u"Voice", u"snd", u"_jp", u"_en"), 1);
  EXPECT_EQ(Open(u"VOICE/hello_jp.wav", 3), "english");
  EXPECT_EQ(Open(u"voice/hello_en.wav", 3), "english");
  EXPECT_EQ(Open(u"snd/hello_jp.wav", 3), "japanese");
  // The replacement can lead to an alias group.
  EXPECT_TRUE(server.AddAliasMember(u"all.lst", -1, P(u"S").c_str(), 1));
  EXPECT_TRUE(server.AddAlias(u"any", u"all.lst", u"", u""));
  EXPECT_EQ(Open(u"any/hello_jp.wav", 3), "japanese");
}

// ---- archive list ---------------------------------------------------------------

TEST_F(FileServerTest, ArchiveListIsSearchedFirstWhateverTheType) {
  Put(u"S", u"common.txt", "disk");
  ASSERT_TRUE(MakeArchive(P(u"list.zta"), {{u"common.txt", "from the list"}}));
  EXPECT_TRUE(server.SetSearchSlot(0, u"snd", P(u"S").c_str(), 1));
  ASSERT_EQ(server.AddListArchive(P(u"list.zta").c_str()), 1);
  EXPECT_EQ(Open(u"snd/common.txt", 3), "from the list");
  EXPECT_EQ(Open(u"whatever/COMMON.TXT", 1), "from the list");
  EXPECT_EQ(Open(u"common.txt", 77), "from the list");
  EXPECT_EQ(server.AddListArchive(P(u"missing.zta").c_str()), 0);
}

// ---- results: memory copies, writing, reading by name -----------------------

TEST_F(FileServerTest, MemoryCopyNeedsBothBitsAndReleasesTheFoundObject) {
  ASSERT_TRUE(MakeArchive(P(u"a.zta"), {{u"m.bin", "member bytes"}}));
  EXPECT_TRUE(server.LoadArchive(0, P(u"a.zta").c_str(), nullptr, 0, 1));  // one open member at a time
  EXPECT_TRUE(server.SetSearchSlot(0, u"g", u"", 0));
  ztFileBase* f = server.OpenByName(u"g/m.bin", 4 | ZTFS_MEMORY_COPY | ZTFS_QUIET);
  EXPECT_EQ(KindOf(f), kMemory);
  // The member was closed: it can be opened again while the copy lives.
  EXPECT_EQ(OpenKind(u"g/m.bin", 4), kMember);
  EXPECT_EQ(Content(f), "member bytes");
  EXPECT_EQ(OpenKind(u"g/m.bin", 4 | 0x10), kMember);
  EXPECT_EQ(OpenKind(u"g/m.bin", 4 | 0x100), kMember);
}

TEST_F(FileServerTest, WriteBitOpensADiskFileForWriting) {
  std::u16string name = P(u"out.bin");
  ASSERT_TRUE(dir.Write(u"out.bin", "old contents"));
  ztFileBase* f = server.OpenByName(name.c_str(), ZTFS_WRITE | 2);
  ASSERT_EQ(KindOf(f), kDisk);
  EXPECT_EQ(f->Write("new", 3), 3);
  delete f;
  EXPECT_EQ(dir.Read(u"out.bin"), "new");
}

TEST_F(FileServerTest, ReadByNameGivesTheSizeThenTheBytes) {
  ASSERT_TRUE(dir.Write(u"r.txt", "0123456789"));
  std::u16string name = P(u"r.txt");
  EXPECT_EQ(server.ReadByName(name.c_str(), nullptr, 0, 1), 10);
  char buf[16] = {};
  EXPECT_EQ(server.ReadByName(name.c_str(), buf, sizeof buf, 1), 10);
  EXPECT_EQ(std::string(buf, 10), "0123456789");
  // Too small a buffer is refused, not overrun.
  char small[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(server.ReadByName(name.c_str(), small, 3, 1), 0);
  EXPECT_EQ(small[0], '#');
  EXPECT_EQ(server.ReadByName(P(u"none.txt").c_str(), buf, sizeof buf, 1 | ZTFS_QUIET), 0);
}

TEST_F(FileServerTest, ExistsByNameUsesFolderBeforeArchive) {
  Put(u"S", u"d.txt", "d");
  ASSERT_TRUE(MakeArchive(P(u"e.zta"), {{u"e.txt", "e"}}));
  EXPECT_TRUE(server.SetSearchSlot(0, u"s", P(u"S").c_str(), 1));
  EXPECT_TRUE(server.LoadArchive(0, P(u"e.zta").c_str()));
  EXPECT_EQ(server.ExistsByName(u"s/d.txt"), 1);
  EXPECT_EQ(server.ExistsByName(u"s/e.txt"), 1);
  EXPECT_EQ(server.ExistsByName(u"s/f.txt"), 0);
}

TEST_F(FileServerTest, EncipheredArchiveInASlot) {
  std::string data = "thirteen byte";
  ASSERT_TRUE(MakeArchive(P(u"c.zta"), {{u"c.bin", data}}, true));
  EXPECT_EQ(server.LoadArchive(0, P(u"c.zta").c_str()), 0);  // no key
  EXPECT_EQ(server.GetArchive(0), nullptr);
  ASSERT_EQ(server.LoadArchive(0, P(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  EXPECT_TRUE(server.SetSearchSlot(0, u"c", u"", 0));
  EXPECT_EQ(Open(u"c/c.bin", 4), data);
  EXPECT_EQ(server.LoadArchive(256, P(u"c.zta").c_str(), kKey, sizeof kKey), 0);
}

TEST_F(FileServerTest, RegistrationRefusesWhatDoesNotFit) {
  EXPECT_EQ(server.SetSearchSlot(-1, u"a", u"", 1), 0);
  EXPECT_EQ(server.SetSearchSlot(256, u"a", u"", 1), 0);
  EXPECT_EQ(server.SetSearchSlot(0, std::u16string(40, u'n').c_str(), u"", 1), 0);
  EXPECT_EQ(server.SetSearchSlot(0, std::u16string(39, u'n').c_str(), u"", 1), 1);
  EXPECT_EQ(server.AddAliasMember(std::u16string(32, u'g').c_str(), -1, u"", 1), 0);
  EXPECT_EQ(server.AddAliasMember(u"g.lst", 300, u"", 1), 0);
  EXPECT_EQ(server.AddPreload(u"x", 0, 1), 0);  // preloading is off
}

// ---- preloading -------------------------------------------------------------------

namespace {

class PreloadTest : public ::testing::Test {
 protected:
  PreloadTest() {
    config.preload = 1;
    g_ztEngineConfig = &config;
    server = new ztFileServer;
  }
  ~PreloadTest() override {
    delete server;
    g_ztEngineConfig = nullptr;
  }
  bool WaitLoaded(const std::u16string& name) {
    for (int i = 0; i < 500; ++i) {
      if (server->IsPreloaded(name.c_str())) return true;
      SleepMs(10);
    }
    return false;
  }
  ztEngineConfig config;
  TempDir dir;
  ztFileServer* server = nullptr;
};

}  // namespace

TEST_F(PreloadTest, PreloadedFilesAreServedFromMemory) {
  ASSERT_EQ(server->IsPreloading(), 1);
  EXPECT_EQ(server->GetPreloadGroup(), ZTFS_NO_GROUP);
  ASSERT_TRUE(dir.Write(u"p1.txt", "first"));
  ASSERT_TRUE(dir.Write(u"p2.txt", "second"));
  ASSERT_TRUE(dir.Write(u"p3.txt", "third"));
  std::u16string p1 = dir.Join(u"p1.txt"), p2 = dir.Join(u"p2.txt"), p3 = dir.Join(u"p3.txt");
  ASSERT_EQ(server->AddPreload(p1.c_str(), 1, 1), 1);
  ASSERT_EQ(server->AddPreload(p2.c_str(), 1, 1), 1);
  ASSERT_EQ(server->AddPreload(p3.c_str(), 2, 1), 1);
  ASSERT_TRUE(WaitLoaded(p1));
  ASSERT_TRUE(WaitLoaded(p2));
  ASSERT_TRUE(WaitLoaded(p3));
  for (int i = 0; i < 500 && server->GetPreloadGroup() != ZTFS_NO_GROUP; ++i) SleepMs(10);
  EXPECT_EQ(server->GetPreloadGroup(), ZTFS_NO_GROUP);
  // Gone from the disk, still there from memory (case does not matter).
  ztFile remover;
  ASSERT_NE(remover.Remove(p1.c_str(), 1), 0);
  std::u16string upper = p1;
  for (auto& c : upper)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
  ztFileBase* lent = server->OpenByName(upper.c_str(), 1 | ZTFS_QUIET);
  ASSERT_EQ(KindOf(lent), kMemory);
  EXPECT_EQ(lent->Write("x", 1), -1);  // the shared buffer is read-only
  // Clearing the list does not pull the data from under a file handed out.
  server->ClearPreload();
  EXPECT_EQ(server->IsPreloaded(p1.c_str()), 0);
  EXPECT_EQ(Content(lent), "first");
  EXPECT_EQ(server->OpenByName(p1.c_str(), 1 | ZTFS_QUIET), nullptr);
  EXPECT_EQ(Content(server->OpenByName(p2.c_str(), 1 | ZTFS_QUIET)), "second");
}

TEST_F(PreloadTest, MissingFileIsMarkedLoadedAndLookupGoesOn) {
  std::u16string missing = dir.Join(u"late.txt");
  ASSERT_EQ(server->AddPreload(missing.c_str(), 0, 1 | ZTFS_QUIET), 1);
  ASSERT_TRUE(WaitLoaded(missing));
  // Created after the preloader tried: found on disk by the normal lookup.
  ASSERT_TRUE(dir.Write(u"late.txt", "late"));
  ztFileBase* f = server->OpenByName(missing.c_str(), 1 | ZTFS_QUIET);
  EXPECT_EQ(KindOf(f), kDisk);
  EXPECT_EQ(Content(f), "late");
}

TEST_F(PreloadTest, WriteBitOfAPreloadEntryIsIgnored) {
  std::u16string name = dir.Join(u"never.txt");
  ASSERT_EQ(server->AddPreload(name.c_str(), 0, 1 | ZTFS_WRITE | ZTFS_QUIET), 1);
  ASSERT_TRUE(WaitLoaded(name));
  EXPECT_EQ(dir.Read(u"never.txt"), "<missing>");
}

namespace {

// Deletes `server` on a thread of its own and waits at most `ms`. False when
// the deletion did not end in time; it is then left waiting (and the server
// leaked) so that the test fails instead of hanging.
bool DeletedWithin(ztFileServer* server, int ms) {
  std::packaged_task<void()> task([server] { delete server; });
  std::future<void> done = task.get_future();
  std::thread t(std::move(task));
  const bool ended = done.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
  if (ended) {
    t.join();
  } else {
    t.detach();
  }
  return ended;
}

}  // namespace

TEST_F(PreloadTest, AStopWhileAPassRunsEndsThePreloader) {
  // A pass over these takes a good while: a large file first, then more
  // entries of its group that the stop finds still waiting.
  ASSERT_TRUE(dir.Write(u"big.bin", std::string(16u << 20, 'b')));
  std::vector<std::u16string> names = {dir.Join(u"big.bin")};
  for (int i = 0; i < 8; ++i) {
    std::u16string name = u"small" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    ASSERT_TRUE(dir.Write(name, std::string(4096, 's')));
    names.push_back(dir.Join(name));
  }
  delete server;
  server = nullptr;
  // The stop comes at a different moment of the pass each round.
  for (int round = 0; round < 30; ++round) {
    auto* s = new ztFileServer;
    ASSERT_EQ(s->IsPreloading(), 1);
    for (const std::u16string& name : names) EXPECT_TRUE(s->AddPreload(name.c_str(), 0, 1 | ZTFS_QUIET));
    SleepMs(round % 6);
    ASSERT_TRUE(DeletedWithin(s, 10000)) << "round " << round;
  }
}
