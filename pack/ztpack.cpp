#include "pack/ztpack.h"

#include <cstring>
#include <map>
#include <set>

#include "app/UpdateManifest.h"
#include "app/discovery.h"
#include "pack/packbuild.h"
#include "pack/packcheck.h"
#include "pack/packconfig.h"
#include "pack/packdelta.h"
#include "pack/packfs.h"
#include "pack/packsign.h"
#include "pack/packtext.h"

const char kPackUsage[] =
    "usage: ztpack COMMAND ... (ztpack COMMAND --help for each)\n"
    "  build    make an update package from two versions of the game\n"
    "  keygen   make a key pair for signing packages\n"
    "  sign     (re)write a package's manifest, signed\n"
    "  check    find what would go wrong in front of a user\n"
    "Exit code: 0 done (warnings allowed), 1 errors, 2 bad command line.\n";

namespace {

const char kBuildUsage[] =
    "usage: ztpack build --old DIR --new DIR --config pack.xml --out PKG\n"
    "                    [--splash PICTURE] [--key SECRETKEYFILE] [--updater EXE]\n"
    "                    [--delta [--fallback] [--segment SIZE] [--level N]]\n"
    "  Compares the two versions byte for byte and puts every new or changed\n"
    "  file into PKG\\data at the same relative place; writes updateinfo.xml\n"
    "  from pack.xml, updatebg.ra3 from the picture (PNG, JPEG, BMP, PSD,\n"
    "  WebP; lossless RA-3 strips), copies updater.exe (default: the one\n"
    "  beside ztpack) and writes update.manifest, signed with --key. Files\n"
    "  only in the old version are listed as warnings: an update cannot\n"
    "  remove them. Ends with the check of the package made. PKG must be a\n"
    "  new or empty folder.\n"
    "  --delta      a changed file travels as PKG\\delta\\<path>, a binary delta\n"
    "               against the old version's file, where that is smaller than\n"
    "               the whole file compressed (zstd level 3); otherwise, and for\n"
    "               new files and update.key, the whole file goes into data.\n"
    "               The manifest names the installed file each delta applies to.\n"
    "  --fallback   the whole file of each delta goes into data too: the\n"
    "               updater uses it where the installed file is not the old\n"
    "               version's (larger package, any installation)\n"
    "  --segment SIZE  new bytes per delta segment, e.g. 65536, 64K, 32M (4K to\n"
    "               32M, default 32M); each segment is matched against the same\n"
    "               region of the old file widened by a quarter segment on each\n"
    "               side, and the updater holds one segment's data at a time\n"
    "  --level N    zstd level of the deltas, 1 to 22 (default 19)\n";
const char kKeygenUsage[] =
    "usage: ztpack keygen KEYFILE\n"
    "  Makes an Ed25519 key pair: KEYFILE is the secret key (keep it private),\n"
    "  KEYFILE.pub the public key, which the game's installer puts into the\n"
    "  installation as update.key. An existing key is never overwritten.\n";
const char kSignUsage[] =
    "usage: ztpack sign PKG --key KEYFILE [--version MAJOR.MINOR]\n"
    "  Rewrites PKG\\update.manifest from the package's files as they are now,\n"
    "  signed with the secret key. The version the package installs is kept\n"
    "  from the old manifest, else read from data\\config\\startup.xml, else\n"
    "  given with --version. Each delta keeps the installed file it applies\n"
    "  to and the file it makes from the old manifest; a delta it does not\n"
    "  list is an error.\n";
const char kCheckUsage[] =
    "usage: ztpack check PKG [--install DIR]\n"
    "  Reports everything a user would otherwise find out on screen: the\n"
    "  description as the updater reads it (every language, every text, no\n"
    "  text cut by its field, known and unique language ids, \\n only where\n"
    "  it breaks a line), the splash picture (decodes, fits 1280 x 720, not\n"
    "  one colour), the data folder, the manifest and its signature, every\n"
    "  delta (listed, of the listed size and SHA-256). With --install,\n"
    "  against that installation: destinations within 259 units, the version\n"
    "  gate, installed exe/dll files that are newer and stay (Windows build),\n"
    "  the key in its update.key, and for each delta whether the installed\n"
    "  file is the one it applies to (else the whole file under data is used,\n"
    "  or it is an error without one) and that applying it makes the listed\n"
    "  file.\n"
    "  Exit code 0 when there is no error; warnings do not fail.\n";

struct Command {
  std::vector<std::u16string> positional;
  std::map<std::string, std::u16string> options;
  std::set<std::string> flags;
  bool help = false;
};

// Splits the arguments after the command: "--name value" pairs among the
// allowed names, "--name" alone among the flags, everything else
// positional. False after an error message.
bool Parse(const std::vector<std::u16string>& args, const std::vector<std::string>& allowed,
           const std::vector<std::string>& flags, Command* c, const PackToolIo& io) {
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string a = Utf8Of(args[i]);
    if (a == "--help" || a == "-h") {
      c->help = true;
      continue;
    }
    if (a.compare(0, 2, "--") != 0) {
      c->positional.push_back(args[i]);
      continue;
    }
    bool flag = false;
    for (const std::string& name : flags) flag = flag || name == a;
    if (flag) {
      c->flags.insert(a);
      continue;
    }
    bool known = false;
    for (const std::string& name : allowed) known = known || name == a;
    if (!known) {
      io.err("ztpack: unknown option " + a + "\n");
      return false;
    }
    if (i + 1 >= args.size()) {
      io.err("ztpack: " + a + " needs a value\n");
      return false;
    }
    c->options[a] = args[++i];
  }
  return true;
}

// The findings in the order they were found, on standard output like the
// rest of the report (a log then reads in order); the exit code tells
// whether there were errors.
int Finish(const PackReport& report, const PackToolIo& io) {
  io.out(report.Lines());
  const size_t e = report.Errors(), w = report.Count(Severity::kWarning);
  io.out(std::to_string(e) + (e == 1 ? " error, " : " errors, ") + std::to_string(w) +
         (w == 1 ? " warning\n" : " warnings\n"));
  return e ? 1 : 0;
}

int Build(const Command& c, const PackToolIo& io) {
  BuildOptions o;
  const char* required[] = {"--old", "--new", "--config", "--out"};
  for (const char* name : required) {
    if (!c.options.count(name)) {
      io.err(std::string("ztpack build: ") + name + " is required\n" + kBuildUsage);
      return 2;
    }
  }
  if (!c.positional.empty()) {
    io.err("ztpack build: unexpected " + Utf8Of(c.positional[0]) + "\n" + kBuildUsage);
    return 2;
  }
  auto get = [&](const char* name) { return c.options.count(name) ? c.options.at(name) : std::u16string(); };
  o.oldDir = get("--old");
  o.newDir = get("--new");
  o.config = get("--config");
  o.out = get("--out");
  o.splash = get("--splash");
  o.key = get("--key");
  o.updater = get("--updater");
  o.delta = c.flags.count("--delta") != 0;
  o.fallback = c.flags.count("--fallback") != 0;
  for (const char* name : {"--fallback", "--segment", "--level"}) {
    if (!o.delta && (c.flags.count(name) || c.options.count(name))) {
      io.err(std::string("ztpack build: ") + name + " only goes with --delta\n" + kBuildUsage);
      return 2;
    }
  }
  if (c.options.count("--segment") && !ParseSegmentSize(Utf8Of(get("--segment")), &o.segment)) {
    io.err("ztpack build: --segment takes a size from 4K to 32M: bytes, or a number with K or M\n");
    return 2;
  }
  if (c.options.count("--level")) {
    const std::string level = Utf8Of(get("--level"));
    uint64_t value = 0;
    bool digits = !level.empty() && level.size() <= 2;
    for (char ch : level) {
      digits = digits && ch >= '0' && ch <= '9';
      value = value * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (!digits || value < 1 || value > 22) {
      io.err("ztpack build: --level takes a zstd level from 1 to 22\n");
      return 2;
    }
    o.level = static_cast<int>(value);
  }
  PackReport report;
  BuildResult r;
  const bool built = BuildPackage(o, &report, io.progress, &r);
  const TreeDiff& d = r.diff;
  if (built || !d.added.empty() || !d.changed.empty() || d.unchanged)
    io.out(std::to_string(d.added.size()) + " new, " + std::to_string(d.changed.size()) + " changed, " +
           std::to_string(d.unchanged) + " unchanged, " + std::to_string(d.removed.size()) +
           " only in the old version; " + SizeText(r.bytesCopied) + " copied into " +
           Utf8Of(JoinPackPath(o.out, u"data")) +
           (o.delta ? "; " + std::to_string(r.deltas) + " deltas, " + SizeText(r.deltaBytes) +
                          " (the new and changed files are " + SizeText(r.wholeBytes) + " whole)"
                    : std::string()) +
           "\n");
  if (built)
    io.out("package " + Utf8Of(o.out) + " installs " + std::to_string(r.major) + "." + std::to_string(r.minor) +
           (o.key.empty() ? ", manifest not signed" : ", manifest signed") + "\n");
  return Finish(report, io);
}

int Keygen(const Command& c, const PackToolIo& io) {
  if (c.positional.size() != 1) {
    io.err(std::string("ztpack keygen: name one key file\n") + kKeygenUsage);
    return 2;
  }
  std::string error;
  if (!MakeKeyPair(c.positional[0], &error)) {
    io.err("error: " + error + "\n");
    return 1;
  }
  const std::string key = Utf8Of(c.positional[0]);
  io.out("wrote " + key + " (the secret key: keep it private, sign with it)\n" + "wrote " + key +
         ".pub (the public key: the game's installer puts it into the installation as update.key)\n");
  return 0;
}

// The version a package installs, when sign is not told: its manifest's,
// else the one its new files record.
bool VersionOf(const std::u16string& package, uint32_t* major, uint32_t* minor) {
  std::vector<uint8_t> bytes;
  UpdateManifest m;
  if (ReadSmallFile(JoinPackPath(package, kManifestName), &bytes, kManifestLimit) &&
      DecodeManifest(bytes.data(), bytes.size(), &m)) {
    *major = m.majorVersion;
    *minor = m.minorVersion;
    return true;
  }
  if (!ReadSmallFile(JoinPackPath(package, u"data\\config\\startup.xml"), &bytes, 1 << 20)) return false;
  bytes.push_back(0);
  const uint32_t v = ParseInstalledVersion(reinterpret_cast<const char*>(bytes.data()));
  *major = v >> 16;
  *minor = v & 0xFFFF;
  return v != 0;
}

int Sign(const Command& c, const PackToolIo& io) {
  if (c.positional.size() != 1 || !c.options.count("--key")) {
    io.err(std::string("ztpack sign: name the package and --key\n") + kSignUsage);
    return 2;
  }
  const std::u16string package = c.positional[0];
  uint32_t major = 0, minor = 0;
  if (c.options.count("--version")) {
    if (!ParseVersionPair(Utf8Of(c.options.at("--version")), &major, &minor)) {
      io.err("ztpack sign: --version takes MAJOR.MINOR, e.g. 1.3\n");
      return 2;
    }
  } else if (!VersionOf(package, &major, &minor)) {
    io.err("error: " + Utf8Of(package) +
           ": the version it installs is neither in a manifest nor in data\\config\\startup.xml; give --version "
           "MAJOR.MINOR\n");
    return 1;
  }
  std::string error;
  uint8_t key[kEd25519SecretKeyBytes];
  if (!IsFilePath(JoinPackPath(package, u"updateinfo.xml"))) {
    error = Utf8Of(package) + " has no updateinfo.xml; is it a package?";
  } else if (LoadSecretKey(c.options.at("--key"), key, &error) &&
             WritePackageManifest(package, major, minor, key, &error, io.progress, ListedDeltas(package))) {
    error.clear();
  }
  std::memset(key, 0, sizeof key);
  if (!error.empty()) {
    io.err("error: " + error + "\n");
    return 1;
  }
  io.out("wrote " + Utf8Of(JoinPackPath(package, kManifestName)) + ", signed, installs " + std::to_string(major) + "." +
         std::to_string(minor) + "\n");
  PackReport report;
  PackageChecker checker(package, u"", &report, io.progress);
  checker.Data();
  checker.Manifest();
  checker.Deltas();
  return Finish(report, io);
}

int Check(const Command& c, const PackToolIo& io) {
  if (c.positional.size() != 1) {
    io.err(std::string("ztpack check: name one package folder\n") + kCheckUsage);
    return 2;
  }
  PackReport report;
  const std::u16string install = c.options.count("--install") ? c.options.at("--install") : u"";
  PackageChecker checker(c.positional[0], install, &report, io.progress);
  checker.All();
  return Finish(report, io);
}

}  // namespace

int RunPackTool(const std::vector<std::u16string>& args, const PackToolIo& io) {
  if (args.empty()) {
    io.err(kPackUsage);
    return 2;
  }
  const std::string command = Utf8Of(args[0]);
  if (command == "--help" || command == "-h" || command == "help") {
    io.out(kPackUsage);
    return 0;
  }
  struct Entry {
    const char* name;
    const char* usage;
    std::vector<std::string> options;
    std::vector<std::string> flags;
    int (*run)(const Command&, const PackToolIo&);
  };
  const Entry commands[] = {
      {"build",
       kBuildUsage,
       {"--old", "--new", "--config", "--out", "--splash", "--key", "--updater", "--segment", "--level"},
       {"--delta", "--fallback"},
       Build},
      {"keygen", kKeygenUsage, {}, {}, Keygen},
      {"sign", kSignUsage, {"--key", "--version"}, {}, Sign},
      {"check", kCheckUsage, {"--install"}, {}, Check},
  };
  for (const Entry& e : commands) {
    if (command != e.name) continue;
    Command c;
    if (!Parse(args, e.options, e.flags, &c, io)) {
      io.err(e.usage);
      return 2;
    }
    if (c.help) {
      io.out(e.usage);
      return 0;
    }
    return e.run(c, io);
  }
  io.err("ztpack: unknown command \"" + command + "\"\n" + kPackUsage);
  return 2;
}
