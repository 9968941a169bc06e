// The updater end to end, under Wine with a real (Xvfb) display:
//   1. start to splash: from CreateProcess until the splash window shows the
//      picture's pixels, for a 1280 x 720 RA-3 picture (lossless strips, as
//      the image tool writes them by default); median of several runs;
//   2. the whole update of a package of 1000 files / 100 MiB in 10 folders,
//      from pressing OK to the success box, against a CopyFileW loop doing
//      the same copies (folders created as needed), medians of a few rounds:
//      once into a fresh installation, once over an installation holding an
//      older copy of every file (each one is then kept aside until the
//      update is complete, which the plain loop does not do);
//   3. the rollback of that update over the older copies: the file the
//      engine reaches last is read-only, so the copy fails there and 999
//      files are put back; the time from the engine's error box to the
//      copy-error box;
//   4. the same update of a signed package (a manifest of the 1000 files'
//      digests, an Ed25519 signature, the key in the installation) against
//      the package unsigned, rounds taking turns: the cost of checking the
//      signature and every file's digest as it is copied.
//
// usage: updater_bench [runs] [rounds] [work folder] [signed]   (the updater
//        of this build is used; defaults 7 start-up runs, 3 update rounds
//        and %TEMP%\zt-updater-bench; "signed" runs the last part alone). A
//        folder on a drive mapped to a tmpfs takes the disk's write-back
//        out of the figures, which then show what the updater itself costs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/UpdateManifest.h"
#include "platform/ztHeap.h"
#include "tests/e2e/boxdriver.h"
#include "tests/e2e/package.h"

using namespace e2e;

namespace {

const std::u16string kBrand = u"ztBench";

std::u16string TempRoot() {
  wchar_t t[MAX_PATH];
  GetTempPathW(MAX_PATH, t);
  return Join(reinterpret_cast<const char16_t*>(t), u"zt-updater-bench");
}

// A photo-like picture: smooth gradients with a little noise.
std::vector<uint32_t> Photo(int w, int h) {
  std::vector<uint32_t> p(static_cast<size_t>(w) * h);
  uint32_t seed = 12345;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int n = static_cast<int>((seed >> 16) & 7);
      const int r = (x * 255 / w + n) & 255, g = (y * 255 / h + n) & 255, b = ((x + y) * 127 / (w + h) + 64 + n) & 255;
      p[static_cast<size_t>(y) * w + x] = static_cast<uint32_t>(r << 16 | g << 8 | b);
    }
  return p;
}

void WritePackage(const std::u16string& pkg, const std::u16string& inst) {
  DescriptionParts desc;
  desc.brand = "ztBench";
  desc.app = "Game";
  desc.mutex = "ztBenchGame";
  desc.confMutex = "ztBenchConf";
  desc.major = "1";
  desc.minor = "0";
  desc.languages = {English()};
  WriteFileBytes(Join(pkg, u"updateinfo.xml"), DescriptionXml(desc));
  WriteFileBytes(Join(inst, u"config\\startup.xml"), "<major>1</major><minor>0</minor>");
  const std::string utf8 = Narrow(inst);
  WriteFileBytes(Join(Join(CommonAppData(), kBrand), u"Game.xml"), "<path>" + utf8 + "</path>");
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

// Start to splash: polls the screen until the sample points show the
// picture, then cancels.
double StartToSplash(const std::u16string& exe, const std::u16string& pkg, const std::vector<uint32_t>& px, int w,
                     int h) {
  Process p;
  if (!p.Start(exe, pkg)) return -1;
  double seconds = -1;
  // Points near the top and bottom edges, off the box in the middle and
  // within a screen narrower than the picture.
  const int pts[][2] = {{w / 2 - 300, 30}, {w / 2 + 300, 30}, {w / 2 - 300, h - 30}, {w / 2 + 300, h - 30}, {w / 2, 5}};
  while (TicksToSeconds(NowTicks() - p.StartTicks()) < 15) {
    HWND splash = FindProcessWindow(p.Pid(), L"WC_UPDATE");
    if (splash && IsWindowVisible(splash)) {
      RECT c = ClientRectOnScreen(splash);
      bool all = c.right - c.left == w && c.bottom - c.top == h;
      for (const auto& pt : pts) {
        if (!all) break;
        RECT one = {c.left + pt[0], c.top + pt[1], c.left + pt[0] + 1, c.top + pt[1] + 1};
        std::vector<uint32_t> s = CaptureScreen(one);
        all = s.size() == 1 && s[0] == px[static_cast<size_t>(pt[1]) * w + pt[0]];
      }
      if (!all && getenv("ZT_BENCH_TRACE")) {
        fprintf(stderr, "client %ld,%ld %ldx%ld not yet painted\n", c.left, c.top, c.right - c.left, c.bottom - c.top);
      }
      if (all) {
        seconds = TicksToSeconds(NowTicks() - p.StartTicks());
        break;
      }
    }
    Sleep(2);
  }
  Box box;
  if (p.WaitBox(&box, 10000)) PressButton(box.window, IDCANCEL);
  p.WaitExit(10000, nullptr);
  return seconds;
}

// The package's data: kFiles files, kFilesPerFolder to a folder.
constexpr int kFiles = 1000;
constexpr int kFilesPerFolder = 100;

const wchar_t* FolderName(int f, wchar_t (&name)[64]) {
  wsprintfW(name, L"folder%02d", f);
  return name;
}
const wchar_t* DataName(int i, wchar_t (&name)[64]) {
  wsprintfW(name, L"folder%02d\\file%04d.bin", i / kFilesPerFolder, i);
  return name;
}

uint64_t MakeData(const std::u16string& data, uint32_t size) {
  std::string bytes(size, '\0');
  uint64_t total = 0;
  for (int i = 0; i < kFiles; ++i) {
    for (uint32_t k = 0; k < size; k += 64) bytes[k] = static_cast<char>(i + k);
    wchar_t name[64];
    WriteFileBytes(Join(data, reinterpret_cast<const char16_t*>(DataName(i, name))), bytes);
    total += size;
  }
  return total;
}

// Seconds for CopyFileW over every data file into `to`, folders made as
// needed.
double CopyLoop(const std::u16string& data, const std::u16string& to) {
  const int64_t t0 = NowTicks();
  CreateDirectoryW(W(to), nullptr);
  for (int i = 0; i < kFiles; ++i) {
    wchar_t name[64];
    const std::u16string rel = reinterpret_cast<const char16_t*>(DataName(i, name));
    const std::u16string target = Join(to, rel);
    CreateDirectoryW(W(target.substr(0, target.rfind(u'\\'))), nullptr);
    CopyFileW(W(Join(data, rel)), W(target), FALSE);
  }
  return TicksToSeconds(NowTicks() - t0);
}

// The next box of the process, timed when its window first appears (the
// driver's WaitBox lets a box paint before it reads it, which would add its
// wait to every time taken): the seconds since `from`, or -1.
double NextBox(Process& p, int64_t from, Box* box) {
  for (int i = 0; i < 120000; ++i) {
    const std::vector<HWND> boxes = FindBoxes(p.Pid());
    if (!boxes.empty()) {
      const double seconds = TicksToSeconds(NowTicks() - from);
      return p.WaitBox(box, 10000) ? seconds : -1;
    }
    if (WaitForSingleObject(p.Handle(), 1) == WAIT_OBJECT_0) return -1;
  }
  return -1;
}

// Seconds from pressing OK to the success box; -1 when the update failed.
double WholeUpdate(const std::u16string& exe, const std::u16string& pkg) {
  Process p;
  double seconds = -1;
  if (!p.Start(exe, pkg)) return -1;
  Box box;
  if (p.WaitBox(&box, 15000)) {
    const int64_t t1 = NowTicks();
    PressButton(box.window, IDOK);
    Box done;
    const double took = NextBox(p, t1, &done);
    if (took >= 0 && done.text == U16(English().success))
      seconds = took;
    else
      printf("the update ended with [%s] %s\n", Narrow(done.caption).c_str(), Narrow(done.text).c_str());
    PressButton(done.window, IDOK);
  }
  p.WaitExit(10000, nullptr);
  return seconds;
}

// Back to the installation before the update: only its version file, and
// with `older` an older copy of every data file.
void ResetInstallation(const std::u16string& inst, bool older) {
  for (int f = 0; f * kFilesPerFolder < kFiles; ++f) {
    wchar_t name[64];
    RemoveTree(Join(inst, reinterpret_cast<const char16_t*>(FolderName(f, name))));
  }
  DeleteFileW(W(Join(inst, u"install.log")));
  DeleteFileW(W(Join(inst, u"update.log")));
  if (!older) return;
  const std::string bytes(100 * 1024, 'o');
  for (int i = 0; i < kFiles; ++i) {
    wchar_t name[64];
    WriteFileBytes(Join(inst, reinterpret_cast<const char16_t*>(DataName(i, name))), bytes);
  }
}

// The data files in the order the updater's walk meets them (the order the
// system lists them, depth first).
void Walk(const std::u16string& base, const std::u16string& relative, std::vector<std::u16string>* out) {
  WIN32_FIND_DATAW fd;
  const std::u16string folder = relative.empty() ? base : Join(base, relative);
  HANDLE find = FindFirstFileW(W(Join(folder, u"*.*")), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string name = reinterpret_cast<const char16_t*>(fd.cFileName);
    if (name == u"." || name == u"..") continue;
    const std::u16string path = relative.empty() ? name : Join(relative, name);
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      Walk(base, path, out);
    } else {
      out->push_back(path);
    }
  } while (FindNextFileW(find, &fd));
  FindClose(find);
}

// Seconds from the engine's error box to the copy-error box, the rollback
// between them; -1 when the run did not fail where it should.
double Rollback(const std::u16string& exe, const std::u16string& pkg) {
  Process p;
  double seconds = -1;
  if (!p.Start(exe, pkg)) return -1;
  Box box;
  if (p.WaitBox(&box, 15000)) {
    PressButton(box.window, IDOK);
    Box failure, copyError;
    if (p.WaitBox(&failure, 120000)) {
      const int64_t t1 = NowTicks();
      PressButton(failure.window, IDOK);
      const double took = NextBox(p, t1, &copyError);
      if (took >= 0 && copyError.text == U16(English().copyError)) seconds = took;
      PressButton(copyError.window, IDOK);
    }
  }
  p.WaitExit(10000, nullptr);
  return seconds;
}

// The signed manifest of the package as it stands (`data` files in `order`).
std::string SignedManifest(const std::u16string& pkg, const std::vector<std::u16string>& order,
                           const uint8_t (&secret)[kEd25519SecretKeyBytes], const uint8_t (&pub)[kEd25519PublicKeyBytes]) {
  UpdateManifest m;
  m.majorVersion = 2;
  m.hasKey = true;
  std::copy(pub, pub + sizeof pub, m.key);
  auto add = [&](const std::u16string& rel) {
    const std::string bytes = ReadFileBytes(Join(pkg, rel));
    m.files.push_back({rel, bytes.size(), ztSha256::Of(bytes.data(), bytes.size())});
  };
  add(u"updateinfo.xml");
  add(u"updatebg.ra3");
  for (const std::u16string& rel : order) add(u"data\\" + rel);
  return SignManifestBody(EncodeManifestBody(m), secret);
}

}  // namespace

int main(int argc, char** argv) {
  ztHeapCreate(0xA00000);
  const int runs = argc > 1 ? std::max(0, atoi(argv[1])) : 7;
  const int rounds = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
  // ZT_UPDATER_EXE in the environment names another build of the updater.
  const char* other = getenv("ZT_UPDATER_EXE");
  const std::u16string exe = HostPathToWindows(other ? other : ZT_UPDATER_EXE);
  const std::u16string root = argc > 3 ? U16(argv[3]) : TempRoot();
  const bool onlySigned = argc > 4 && strcmp(argv[4], "signed") == 0;
  RemoveTree(root);
  const std::u16string pkg = Join(root, u"pkg"), inst = Join(root, u"inst");
  CreateDirectoryW(W(root), nullptr);
  CreateDirectoryW(W(pkg), nullptr);
  CreateDirectoryW(W(inst), nullptr);
  WritePackage(pkg, inst);

  // Same setting as the e2e tests: no window manager runs under Xvfb.
  SetWineDefaultsForUpdater();

  const int w = 1280, h = 720;
  const std::vector<uint32_t> px = Photo(w, h);
  const std::string ra3 = Ra3Strips(w, h, px);
  WriteFileBytes(Join(pkg, u"updatebg.ra3"), ra3);
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) times.push_back(StartToSplash(exe, pkg, px, w, h));
  printf("start to splash painted, 1280x720 RA-3 (%u bytes), %d runs:", static_cast<unsigned>(ra3.size()), runs);
  for (double t : times) printf(" %.3f", t);
  printf(" s\n  median %.3f s\n", Median(times));

  // The whole update against a plain copy loop, several rounds taking turns
  // (so that neither always finds the warmer cache), each into a fresh
  // installation; the median of each is printed with their ratio.
  const std::u16string data = Join(pkg, u"data");
  const uint64_t bytes = MakeData(data, 100 * 1024 + 17);
  const std::u16string plain = Join(root, u"plain");
  for (bool older : {false, true}) {
    if (onlySigned) break;
    std::vector<double> loops, updates;
    for (int round = 0; round < rounds; ++round) {
      for (int turn = 0; turn < 2; ++turn) {
        if ((turn == 0) == (round % 2 == 0)) {
          ResetInstallation(plain, older);
          loops.push_back(CopyLoop(data, plain));
          RemoveTree(plain);
        } else {
          ResetInstallation(inst, older);
          const double t = WholeUpdate(exe, pkg);
          if (t < 0) return 1;
          updates.push_back(t);
        }
      }
    }
    const double update = Median(updates), loop = Median(loops);
    printf("update of %d files / %.1f MiB %s, %d rounds: updater", kFiles, bytes / 1048576.0,
           older ? "over older copies of each" : "into a fresh installation", rounds);
    for (double t : updates) printf(" %.3f", t);
    printf(" s (OK pressed to success box), CopyFileW loop");
    for (double t : loops) printf(" %.3f", t);
    printf(" s\n  medians %.3f s and %.3f s, ratio %.2f\n", update, loop, update / loop);
  }

  std::vector<std::u16string> order;
  Walk(data, u"", &order);
  std::vector<double> rollbacks;
  for (int round = 0; round < rounds && !order.empty() && !onlySigned; ++round) {
    ResetInstallation(inst, true);
    const std::u16string last = Join(inst, order.back());
    SetFileAttributesW(W(last), FILE_ATTRIBUTE_READONLY);
    rollbacks.push_back(Rollback(exe, pkg));
    SetFileAttributesW(W(last), FILE_ATTRIBUTE_NORMAL);
    if (rollbacks.back() < 0) return 1;
  }
  printf("rollback of %zu replaced files, %d rounds:", order.size() - 1, rounds);
  for (double t : rollbacks) printf(" %.3f", t);
  printf(" s (engine error box to copy-error box)\n  median %.3f s\n", Median(rollbacks));

  uint8_t seed[kEd25519SeedBytes] = {42}, pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes];
  if (!ztEd25519SeedKeyPair(seed, pub, secret)) return 1;
  const std::string manifest = SignedManifest(pkg, order, secret, pub);
  std::vector<double> plainRuns, signedRuns;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      const bool sign = (turn == 0) == (round % 2 == 0);
      ResetInstallation(inst, false);
      if (sign) {
        WriteFileBytes(Join(pkg, kManifestName), manifest);
        WriteFileBytes(Join(inst, kTrustedKeyName), EncodePublicKeyFile(pub));
      } else {
        DeleteFileW(W(Join(pkg, kManifestName)));
        DeleteFileW(W(Join(inst, kTrustedKeyName)));
      }
      const double t = WholeUpdate(exe, pkg);
      if (t < 0) return 1;
      (sign ? signedRuns : plainRuns).push_back(t);
    }
  }
  DeleteFileW(W(Join(pkg, kManifestName)));
  DeleteFileW(W(Join(inst, kTrustedKeyName)));
  printf("signed package of %d files, %d rounds: signed", kFiles, rounds);
  for (double t : signedRuns) printf(" %.3f", t);
  printf(" s, unsigned");
  for (double t : plainRuns) printf(" %.3f", t);
  printf(" s (OK pressed to success box)\n  medians %.3f s and %.3f s, ratio %.2f\n", Median(signedRuns),
         Median(plainRuns), Median(signedRuns) / Median(plainRuns));
  ResetInstallation(inst, false);
  RemoveTree(root);
  RemoveTree(Join(CommonAppData(), kBrand));
  ztHeapDestroy();
  return 0;
}
