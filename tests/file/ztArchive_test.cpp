#include "file/ztArchive.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "file/blowfish.h"
#include "tests/common/bytes.h"
#include "tests/common/testutil.h"

using zt_test::Cp932;
using zt_test::Get32;
using zt_test::Set32;
using zt_test::TempDir;

namespace {

const uint8_t kKey[] = {'s', 'e', 'c', 'r', 'e', 't', '-', 'k', 'e', 'y'};

std::string Pattern(size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + seed * 13 + 1) & 0xFF);
  return s;
}

struct Member {
  std::u16string name;
  std::string data;
  int32_t flags;
};

bool MakeArchive(const std::u16string& path, const std::vector<Member>& members,
                 bool encrypted = false) {
  ztArchiveWriter w;
  if (!w.Begin(path.c_str(), encrypted ? kKey : nullptr, encrypted ? sizeof kKey : 0)) return false;
  for (const Member& m : members)
    if (!w.AddMember(m.name.c_str(), m.data.data(), static_cast<uint32_t>(m.data.size()), m.flags))
      return false;
  return w.Finish() == 1;
}

std::string ReadAll(ztArchive& a, ztArchiveMember* m) {
  std::string out;
  char buf[7];
  for (;;) {
    int32_t n = a.ReadMember(m, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

// A page that may be read but not written: a system read into it fails.
class ReadOnlyPage {
 public:
  static constexpr size_t kSize = 4096;
  ReadOnlyPage() {
#ifdef _WIN32
    data_ = VirtualAlloc(nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY);
#else
    void* p = mmap(nullptr, kSize, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    data_ = p == MAP_FAILED ? nullptr : p;
#endif
  }
  ~ReadOnlyPage() {
    if (!data_) return;
#ifdef _WIN32
    VirtualFree(data_, 0, MEM_RELEASE);
#else
    munmap(data_, kSize);
#endif
  }
  ReadOnlyPage(const ReadOnlyPage&) = delete;
  ReadOnlyPage& operator=(const ReadOnlyPage&) = delete;
  void* Get() const { return data_; }

 private:
  void* data_ = nullptr;
};

class ArchiveTest : public ::testing::Test {
 protected:
  std::u16string Path(const char16_t* name) { return dir.Join(name); }
  TempDir dir;
};

}  // namespace

// ---- file layout -------------------------------------------------------------

TEST_F(ArchiveTest, WriterLaysOutHeaderIndexAndData) {
  ASSERT_TRUE(MakeArchive(Path(u"pack.zta"), {{u"dir\\a.txt", "hello", 7}, {u"B", "xy", 0}}));
  std::string raw = dir.Read(u"pack.zta");
  ASSERT_GE(raw.size(), 32u);
  EXPECT_EQ(raw.substr(0, 4), "ZTAR");
  EXPECT_EQ(Get32(raw, 4), 1u);    // version
  EXPECT_EQ(Get32(raw, 8), 0u);    // plain
  EXPECT_EQ(Get32(raw, 12), 2u);   // members
  EXPECT_EQ(Get32(raw, 16), 39u);  // index right after 32 + 5 + 2 data bytes
  EXPECT_EQ(Get32(raw, 20), 14u + 2 * 9 + 14u + 2 * 1);
  EXPECT_EQ(std::string(raw.data() + 24, 8), std::string(8, '\0'));
  EXPECT_EQ(raw.substr(32, 7), "helloxy");
  // First record: offset 32, size 5, flags 7, 9 units of "DIR\A.TXT".
  EXPECT_EQ(Get32(raw, 39), 32u);
  EXPECT_EQ(Get32(raw, 43), 5u);
  EXPECT_EQ(Get32(raw, 47), 7u);
  EXPECT_EQ(static_cast<uint8_t>(raw[51]), 9);
  EXPECT_EQ(raw[53], 'D');
  EXPECT_EQ(raw[54], 0);
  EXPECT_EQ(raw[59], '\\');
  EXPECT_EQ(raw.size(), 39u + 14 + 18 + 14 + 2);
}

TEST_F(ArchiveTest, EncipheredMembersAreWholeBlocksThenAPlainTail) {
  std::string data = Pattern(13);
  ASSERT_TRUE(MakeArchive(Path(u"c.zta"), {{u"m", data, 0}}, true));
  std::string raw = dir.Read(u"c.zta");
  EXPECT_EQ(Get32(raw, 8), 1u);
  ztBlowfish bf;
  bf.SetKey(kKey, sizeof kKey);
  std::string block = data.substr(0, 8);
  bf.Encrypt(&block[0], 8);
  EXPECT_EQ(raw.substr(32, 8), block);
  EXPECT_EQ(raw.substr(40, 5), data.substr(8, 5));
  // The key check block is the enciphered "ZTARKEY!".
  std::string check = raw.substr(24, 8);
  bf.Decrypt(&check[0], 8);
  EXPECT_EQ(check, "ZTARKEY!");
}

TEST_F(ArchiveTest, WriterRefusesBadNames) {
  ztArchiveWriter w;
  ASSERT_EQ(w.Begin(Path(u"w.zta").c_str()), 1);
  EXPECT_EQ(w.AddMember(u"a", "1", 1), 1);
  EXPECT_EQ(w.AddMember(u"A", "2", 1), 0);  // same name once upper-cased
  EXPECT_EQ(w.AddMember(u"", "3", 1), 0);
  EXPECT_EQ(w.AddMember(std::u16string(260, u'x').c_str(), "4", 1), 0);
  EXPECT_EQ(w.Finish(), 1);
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"w.zta").c_str()), 1);
  EXPECT_EQ(a.GetMemberCount(), 1);
}

// ---- opening and checking ------------------------------------------------------

TEST_F(ArchiveTest, OpenReadsTheIndexAndNamesTheArchive) {
  ASSERT_TRUE(MakeArchive(Path(u"Data.zta"), {{u"x\\one.bin", "1", 3}, {u"two", "22", 4}}));
  ztArchive a;
  EXPECT_EQ(a.GetArchiveName(), nullptr);
  EXPECT_EQ(a.HasMember(u"two"), 0);
  ASSERT_EQ(a.Open(Path(u"Data.zta").c_str()), 1);
  EXPECT_EQ(std::u16string(a.GetArchiveName()), u"Data");
  EXPECT_EQ(a.GetMemberCount(), 2);
  EXPECT_EQ(a.HasMember(u"X\\One.BIN"), 1);
  EXPECT_EQ(a.HasMember(u"one.bin"), 0);  // whole names only
  const ztArchive::Info* info = a.FindMember(u"TWO");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->offset, 33u);
  EXPECT_EQ(info->size, 2u);
  EXPECT_EQ(info->flags, 4);
}

TEST_F(ArchiveTest, KeyIsNeededAndChecked) {
  ASSERT_TRUE(MakeArchive(Path(u"c.zta"), {{u"m", "data", 0}}, true));
  ztArchive a;
  EXPECT_EQ(a.Open(Path(u"c.zta").c_str()), 0);
  const uint8_t wrong[] = {'w', 'r', 'o', 'n', 'g'};
  EXPECT_EQ(a.Open(Path(u"c.zta").c_str(), wrong, sizeof wrong), 0);
  EXPECT_EQ(a.IsLoaded(), 0);
  EXPECT_EQ(a.Open(Path(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  EXPECT_EQ(a.IsEncrypted(), 1);
}

TEST_F(ArchiveTest, DamagedArchivesAreRefused) {
  ASSERT_TRUE(MakeArchive(Path(u"good.zta"), {{u"a", Pattern(100), 0}, {u"b", Pattern(50), 0}}));
  const std::string good = dir.Read(u"good.zta");
  const uint32_t indexOffset = Get32(good, 16);
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::vector<Case> cases;
  auto patched = [&](size_t at, uint32_t v) {
    std::string s = good;
    Set32(s, at, v);
    return s;
  };
  cases.push_back({"member past the end", patched(indexOffset + 4, 100000)});
  cases.push_back({"offset past the end", patched(indexOffset, 0xFFFFFFF0u)});
  cases.push_back({"offset plus size wraps", [&] {
                     std::string s = patched(indexOffset, 0x80000000u);
                     Set32(s, indexOffset + 4, 0x80000010u);
                     return s;
                   }()});
  cases.push_back({"index past the end", patched(16, static_cast<uint32_t>(good.size()))});
  cases.push_back({"index size too large", patched(20, 0xFFFFFFFFu)});
  cases.push_back({"more members than the index holds", patched(12, 1000)});
  cases.push_back({"fewer members than the index holds", patched(12, 1)});
  cases.push_back({"index inside the header", patched(16, 4)});
  cases.push_back({"bad magic", "ZTAX" + good.substr(4)});
  cases.push_back({"unknown version", patched(4, 2)});
  cases.push_back({"name length zero", [&] {
                     std::string s = good;
                     s[indexOffset + 12] = 0;
                     return s;
                   }()});
  cases.push_back({"name length past the index", [&] {
                     std::string s = good;
                     s[indexOffset + 12] = 100;
                     return s;
                   }()});
  cases.push_back({"duplicate names", [&] {
                     std::string s = good;
                     s[indexOffset + 14 + 2 + 14] = 'A';  // second record's name "B" -> "A"
                     return s;
                   }()});
  cases.push_back({"truncated", good.substr(0, good.size() - 1)});
  cases.push_back({"header only", good.substr(0, 20)});
  for (const Case& c : cases) {
    ASSERT_TRUE(dir.Write(u"bad.zta", c.bytes));
    ztArchive a;
    EXPECT_EQ(a.Open(Path(u"bad.zta").c_str()), 0) << c.what;
    EXPECT_EQ(a.OpenMember(u"a"), nullptr) << c.what;
  }
  ztArchive a;
  EXPECT_EQ(a.Open(Path(u"good.zta").c_str()), 1);
  EXPECT_EQ(a.Open(Path(u"missing.zta").c_str()), 0);
}

// ---- open members ----------------------------------------------------------------

TEST_F(ArchiveTest, OpenMemberFillsARecordAndCloseClearsIt) {
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"a", "abc", 0}, {u"b", "defg", 9}}));
  ztArchive a(2);
  EXPECT_EQ(a.OpenMember(u"b"), nullptr);  // no index yet
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  ztArchiveMember* m = a.OpenMember(u"b");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->magic, 0x4E45504Fu);
  EXPECT_EQ(std::memcmp(&m->magic, "OPEN", 4), 0);
  EXPECT_EQ(m->start, 35u);
  EXPECT_EQ(m->current, 35u);
  EXPECT_EQ(m->position, 0u);
  EXPECT_EQ(m->size, 4u);
  EXPECT_EQ(m->flags, 9);
  EXPECT_EQ(std::u16string(m->name), u"B");
  a.CloseMember(m);
  EXPECT_EQ(m->magic, 0u);
  EXPECT_EQ(m->size, 0u);
  EXPECT_EQ(m->start, 0u);
}

TEST_F(ArchiveTest, MissingMemberLeavesTheRecordFreeAndAFullTableIsAnAssertion) {
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"a", "abc", 0}}));
  ztArchive a(2);
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(a.OpenMember(u"nothing"), nullptr);
  ztArchiveMember* m1 = a.OpenMember(u"a");
  ztArchiveMember* m2 = a.OpenMember(u"a");
  ASSERT_NE(m1, nullptr);
  ASSERT_NE(m2, nullptr);
  EXPECT_NE(m1, m2);
  try {
    a.OpenMember(u"a");
    ADD_FAILURE() << "no assertion";
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, Cp932("同時にオープンできるファイル数を超えています (MAX:2) : a"));
  }
  a.CloseMember(m1);
  EXPECT_EQ(a.OpenMember(u"a"), m1);
}

// ---- reading -----------------------------------------------------------------------

TEST_F(ArchiveTest, PlainMembersReadInPiecesAndStopAtTheirEnd) {
  std::string one = Pattern(40, 1), two = Pattern(30, 2);
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"one", one, 0}, {u"two", two, 0}}));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  ztArchiveMember* m1 = a.OpenMember(u"one");
  ztArchiveMember* m2 = a.OpenMember(u"two");
  // Interleaved reads share the archive's file pointer.
  char buf[64];
  ASSERT_EQ(a.ReadMember(m1, buf, 10), 10);
  EXPECT_EQ(std::string(buf, 10), one.substr(0, 10));
  ASSERT_EQ(a.ReadMember(m2, buf, 64), 30);
  EXPECT_EQ(std::string(buf, 30), two);
  ASSERT_EQ(a.ReadMember(m1, buf, 64), 30);
  EXPECT_EQ(std::string(buf, 30), one.substr(10));
  EXPECT_EQ(m1->position, 40u);
  EXPECT_EQ(m1->current, m1->start + 40);
  EXPECT_EQ(a.ReadMember(m1, buf, 64), 0);
  EXPECT_EQ(a.ReadMember(m1, buf, 0), 0);
}

TEST_F(ArchiveTest, EncipheredReadStartingInsideABlock) {
  std::string data = Pattern(40, 3);
  ASSERT_TRUE(MakeArchive(Path(u"c.zta"), {{u"m", data, 0}}, true));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  ASSERT_EQ(a.SeekMember(m, 3, 0), 3);
  char buf[40];
  // Within one block.
  ASSERT_EQ(a.ReadMember(m, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), data.substr(3, 2));
  // From inside a block across several whole blocks into another partial one.
  ASSERT_EQ(a.ReadMember(m, buf, 20), 20);
  EXPECT_EQ(std::string(buf, 20), data.substr(5, 20));
  EXPECT_EQ(m->position, 25u);
}

TEST_F(ArchiveTest, LastFiveBytesOfAThirteenByteMemberAreReadPlain) {
  std::string data = Pattern(13, 4);
  ASSERT_TRUE(MakeArchive(Path(u"c.zta"), {{u"m", data, 0}}, true));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  a.SeekMember(m, 8, 0);
  char buf[16];
  ASSERT_EQ(a.ReadMember(m, buf, 16), 5);
  EXPECT_EQ(std::string(buf, 5), data.substr(8));
  a.SeekMember(m, 10, 0);
  ASSERT_EQ(a.ReadMember(m, buf, 16), 3);
  EXPECT_EQ(std::string(buf, 3), data.substr(10));
  a.SeekMember(m, 0, 0);
  ASSERT_EQ(a.ReadMember(m, buf, 16), 13);
  EXPECT_EQ(std::string(buf, 13), data);
}

TEST_F(ArchiveTest, EveryStartAndLengthOfAnEncipheredMemberReadsTheRightBytes) {
  // 37 bytes: four whole blocks and a 5-byte tail; the neighbours make sure
  // no read strays outside the member.
  std::string data = Pattern(37, 5);
  ASSERT_TRUE(MakeArchive(
      Path(u"c.zta"),
      {{u"before", Pattern(11, 6), 0}, {u"m", data, 0}, {u"after", Pattern(9, 7), 0}}, true));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  for (uint32_t start = 0; start < 37; ++start) {
    for (uint32_t len = 1; len <= 40; ++len) {
      a.SeekMember(m, static_cast<int32_t>(start), 0);
      char buf[64];
      std::memset(buf, '#', sizeof buf);
      uint32_t expect = len < 37 - start ? len : 37 - start;
      ASSERT_EQ(a.ReadMember(m, buf, len), static_cast<int32_t>(expect)) << start << "+" << len;
      ASSERT_EQ(std::string(buf, expect), data.substr(start, expect)) << start << "+" << len;
      ASSERT_EQ(buf[expect], '#');
      ASSERT_EQ(m->position, start + expect);
    }
  }
  EXPECT_EQ(ReadAll(a, a.OpenMember(u"after")), Pattern(9, 7));
}

TEST_F(ArchiveTest, NullBufferIsAnAssertion) {
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"m", "abc", 0}}));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  try {
    a.ReadMember(m, nullptr, 1);
    ADD_FAILURE() << "no assertion";
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, Cp932("読み込み先バッファが指定されていません"));
  }
  char c;
  a.CloseMember(m);
  EXPECT_EQ(a.ReadMember(m, &c, 1), -1);  // a freed record is not read
}

TEST_F(ArchiveTest, AFailedSystemReadIsAReadFailureWhateverPartIsRead) {
  // Only the parts read straight into the caller's buffer: the page makes
  // the system's read fail there.
  struct Case {
    bool enciphered;
    int32_t from;
    uint32_t count;
    const char* what;
  };
  const Case cases[] = {
      {false, 0, 13, "plain member"},
      {true, 0, 8, "whole enciphered block"},
      {true, 8, 5, "plain tail of an enciphered member"},
  };
  ReadOnlyPage page;
  ASSERT_NE(page.Get(), nullptr);
  for (const Case& c : cases) {
    ASSERT_TRUE(MakeArchive(Path(u"r.zta"), {{u"m", Pattern(13, 10), 0}}, c.enciphered));
    ztArchive a;
    ASSERT_EQ(a.Open(Path(u"r.zta").c_str(), kKey, sizeof kKey), 1);
    ztArchiveMember* m = a.OpenMember(u"m");
    a.SeekMember(m, c.from, 0);
    try {
      a.ReadMember(m, page.Get(), c.count);
      ADD_FAILURE() << c.what << ": no assertion";
    } catch (const zt_test::AssertFired& e) {
      EXPECT_EQ(e.text, Cp932("読み込みに失敗 (M:13)")) << c.what;
    }
  }
}

#ifndef _WIN32
// Windows shares the archive's file for reading only, so only here can the
// file be cut short under an open archive.
TEST_F(ArchiveTest, APlainTailThatReadsShortIsADecipherError) {
  ASSERT_TRUE(MakeArchive(Path(u"c.zta"), {{u"m", Pattern(13, 11), 0}}, true));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"c.zta").c_str(), kKey, sizeof kKey), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  // Two of the tail's five bytes stay in the file.
  ASSERT_EQ(truncate(zt_test::Utf8(Path(u"c.zta")).c_str(), m->start + 10), 0);
  a.SeekMember(m, 8, 0);
  char buf[8];
  try {
    a.ReadMember(m, buf, 5);
    ADD_FAILURE() << "no assertion";
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, Cp932("暗号化解除エラー (M:13)"));
  }
}
#endif

// ---- seeking -----------------------------------------------------------------------

TEST_F(ArchiveTest, SeekClampsToTheLastByte) {
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"m", Pattern(100), 0}, {u"empty", "", 0}}));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  EXPECT_EQ(a.SeekMember(m, 150, 0), 100);
  EXPECT_EQ(m->position, 99u);
  EXPECT_EQ(m->current, m->start + 99);
  EXPECT_EQ(a.SeekMember(m, 100, 0), 100);
  EXPECT_EQ(m->position, 99u);
  EXPECT_EQ(a.SeekMember(m, 99, 0), 99);
  EXPECT_EQ(m->position, 99u);
  EXPECT_EQ(a.SeekMember(m, 10, 0), 10);
  EXPECT_EQ(a.SeekMember(m, 20, 1), 20);
  EXPECT_EQ(m->position, 30u);
  // From 30, +150 reaches 180: clamped, the result is what could be moved.
  EXPECT_EQ(a.SeekMember(m, 150, 1), 70);
  EXPECT_EQ(m->position, 99u);
  char c;
  EXPECT_EQ(a.ReadMember(m, &c, 10), 1);
  EXPECT_EQ(c, Pattern(100)[99]);
  // Before the start is the start.
  a.SeekMember(m, -500, 1);
  EXPECT_EQ(m->position, 0u);
  // An empty member has no last byte: the position stays 0.
  ztArchiveMember* e = a.OpenMember(u"empty");
  a.SeekMember(e, 5, 0);
  EXPECT_EQ(e->position, 0u);
  EXPECT_EQ(a.ReadMember(e, &c, 1), 0);
}

TEST_F(ArchiveTest, UnknownSeekOriginIsAnAssertion) {
  ASSERT_TRUE(MakeArchive(Path(u"p.zta"), {{u"m", "abc", 0}}));
  ztArchive a;
  ASSERT_EQ(a.Open(Path(u"p.zta").c_str()), 1);
  ztArchiveMember* m = a.OpenMember(u"m");
  try {
    a.SeekMember(m, 0, 2);
    ADD_FAILURE() << "no assertion";
  } catch (const zt_test::AssertFired& e) {
    EXPECT_EQ(e.text, Cp932("ファイルポインタ移動タイプが不正です"));
  }
}

// ---- two threads on one archive -------------------------------------------------

TEST_F(ArchiveTest, ReadersOnTwoThreadsGetTheirOwnBytes) {
  // The members share the archive's file pointer; each read must move it
  // and read without the other thread moving it in between.
  std::string one = Pattern(4096, 8), two = Pattern(4096, 9);
  ASSERT_TRUE(MakeArchive(Path(u"t.zta"), {{u"one", one, 0}, {u"two", two, 0}}, true));
  ztArchive a(4);
  ASSERT_EQ(a.Open(Path(u"t.zta").c_str(), kKey, sizeof kKey), 1);
  auto reader = [&a](const char16_t* name, const std::string* expected, int* bad) {
    for (int round = 0; round < 50; ++round) {
      ztArchiveMember* m = a.OpenMember(name);
      if (!m) {
        ++*bad;
        return;
      }
      std::string got;
      char buf[333];
      int32_t n;
      while ((n = a.ReadMember(m, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
      if (got != *expected) ++*bad;
      a.CloseMember(m);
    }
  };
  int bad1 = 0, bad2 = 0;
  std::thread t1(reader, u"one", &one, &bad1);
  std::thread t2(reader, u"two", &two, &bad2);
  t1.join();
  t2.join();
  EXPECT_EQ(bad1, 0);
  EXPECT_EQ(bad2, 0);
}
