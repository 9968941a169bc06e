// File-server lookups: the input is a short program that registers search
// slots, alias groups, aliases, archive slots, list archives and a base
// folder (names, folders and orders all from the input) and then looks names
// up with every lookup type. A fixed scratch tree (three folders with a few
// files, one archive) gives the lookups something to find. Every object the
// server hands out is read whole and must give exactly the size it reports.
#include <string>
#include <vector>

#include "file/textutil.h"
#include "file/ztArchive.h"
#include "file/ztFileServer.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

const char16_t kZtFuzzNameAlphabet[] = u"abcxyz.\\/_-sub.txtbinarcfs.lstABC";

namespace {

// The scratch tree, made once per process.
struct World {
  std::u16string root;                  // the folder holding the three below
  std::vector<std::u16string> folders;  // "a", "b", "c" under the root
  std::u16string archive;               // an archive file in the root
};

bool WriteText(const std::u16string& path, const char* text) {
  return ztFuzzWriteFile(path, reinterpret_cast<const uint8_t*>(text), std::char_traits<char>::length(text));
}

const World& TheWorld() {
  static const World world = [] {
    World w;
    const std::u16string marker = ztFuzzScratchPath("fs-root");
    w.root = marker.substr(0, marker.size() - 8);
    const char16_t* names[] = {u"fs-a", u"fs-b", u"fs-c"};
    for (const char16_t* name : names) {
      char16_t folder[ZT_MAX_PATH];
      char16_t file[ZT_MAX_PATH];
      if (JoinPath(folder, 2, w.root.c_str(), name) < 0) continue;
      w.folders.push_back(folder);
      // A tree that cannot be made only gives the lookups less to find.
      if (JoinPath(file, 2, folder, u"x.txt") >= 0 && CreateFolderTree(file, 1)) WriteText(file, "x in a folder");
      if (JoinPath(file, 3, folder, u"sub", u"y.bin") >= 0 && CreateFolderTree(file, 1)) WriteText(file, "y");
    }
    char16_t archive[ZT_MAX_PATH];
    if (JoinPath(archive, 2, w.root.c_str(), u"fs.arc") >= 0) {
      ztArchiveWriter writer;
      if (writer.Begin(archive, nullptr, 0)) {
        writer.AddMember(u"x.txt", "x in the archive", 16);
        writer.AddMember(u"sub\\y.bin", "yy", 2);
        writer.AddMember(u"z.dat", "", 0);
        if (writer.Finish() == 1) w.archive = archive;
      }
    }
    return w;
  }();
  return world;
}

// A short text of the input: a length, then that many units drawn from a
// small alphabet that spells the tree's names, separators and dots (a byte
// from 0xC0 up stands for itself).
std::u16string Text(ztFuzzInput& in) {
  const uint32_t length = in.Byte() % 24;
  const size_t letters = std::char_traits<char16_t>::length(kZtFuzzNameAlphabet);
  std::u16string s;
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t b = in.Byte();
    s.push_back(b < 0xC0 ? kZtFuzzNameAlphabet[b % letters] : static_cast<char16_t>(b));
  }
  return s;
}

std::u16string Folder(ztFuzzInput& in, const World& w) {
  const uint8_t pick = in.Byte();
  if (pick < 3 * 64 && !w.folders.empty()) return w.folders[pick % w.folders.size()];
  return pick & 1 ? Text(in) : std::u16string();
}

int Slot(ztFuzzInput& in) {
  // Mostly the first few slots, sometimes any value at all (bad slots too).
  const uint8_t b = in.Byte();
  return b < 0xF0 ? b % 8 : static_cast<int>(static_cast<int8_t>(in.Byte())) * 3;
}

// Reads a handed-out object whole; its reported size must be what comes out.
void Drain(ztFileBase* f) {
  if (!f) return;
  const int32_t size = f->GetSize();
  if (size > 0 && size < (1 << 20)) {
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    const int32_t got = f->Read(bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (got != size) ztFuzzFail("a found object of %d bytes read as %d", static_cast<int>(size), static_cast<int>(got));
  }
  delete f;
}

}  // namespace

int ztFuzzFileServer(const uint8_t* data, size_t size) {
  const World& world = TheWorld();
  ztFuzzInput in(data, size);
  ztFileServer server;
  for (int step = 0; step < 64 && in.Left() > 0; ++step) {
    switch (in.Byte() % 9) {
      case 0: {
        const int slot = Slot(in);
        const std::u16string name = Text(in);
        const std::u16string folder = Folder(in, world);
        (void)server.SetSearchSlot(slot, name.c_str(), folder.c_str(), in.Byte() & 1);
        break;
      }
      case 1: {
        const std::u16string group = Text(in) + u".lst";
        const int32_t archiveSlot = (in.Byte() & 3) ? -1 : Slot(in);
        const std::u16string folder = Folder(in, world);
        (void)server.AddAliasMember(group.c_str(), archiveSlot, folder.c_str(), in.Byte() & 1);
        break;
      }
      case 2: {
        const std::u16string group = Text(in), replacement = Text(in), find = Text(in), put = Text(in);
        (void)server.AddAlias(group.c_str(), replacement.c_str(), find.c_str(), put.c_str());
        break;
      }
      case 3:
        if (!world.archive.empty()) (void)server.LoadArchive(Slot(in), world.archive.c_str());
        break;
      case 4:
        if (!world.archive.empty() && (in.Byte() & 7) == 0) (void)server.AddListArchive(world.archive.c_str());
        break;
      case 5: (void)server.SetBaseFolder(Folder(in, world).c_str()); break;
      case 6:
      case 7: {
        // Lookup types 0 to 5 (0 and 5 are no type at all), with or without
        // the memory copy.
        const std::u16string name = Text(in);
        const uint8_t b = in.Byte();
        const int32_t flags = (b % 6) | ((b & 0x40) ? ZTFS_MEMORY_COPY : 0) | ZTFS_QUIET;
        Drain(server.OpenByName(name.c_str(), flags));
        break;
      }
      default: {
        const std::u16string name = Text(in);
        server.ExistsByName(name.c_str());
        uint8_t small[8];
        const int32_t type = 1 + in.Byte() % 4;
        const int32_t whole = server.ReadByName(name.c_str(), nullptr, 0, type | ZTFS_QUIET);
        const int32_t got = server.ReadByName(name.c_str(), small, sizeof small, type | ZTFS_QUIET);
        if (whole > static_cast<int32_t>(sizeof small) && got != 0)
          ztFuzzFail("an object of %d bytes was read into 8", static_cast<int>(whole));
        break;
      }
    }
  }
  return 0;
}
