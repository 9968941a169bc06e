// Signed packages: the library's SHA-256 and Ed25519 against the published
// vectors (proof of the wiring, not of the algorithms), the manifest reader
// against cut and damaged manifests, and the rules that accept or refuse a
// package.
#include "app/UpdateManifest.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> out(hex.size() / 2);
  EXPECT_TRUE(ztParseHex(hex.data(), hex.size(), out.data(), out.size())) << hex;
  return out;
}

std::string HexOf(const ztSha256Digest& d) { return ztHex(d.bytes, sizeof d.bytes); }

}  // namespace

TEST(Crypto, Sha256MatchesTheNistVectorsInAnyPieces) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexOf(ztSha256::Of(c.message.data(), c.message.size())), c.digest);
    // Fed in uneven pieces, as the copy engine's blocks come.
    ztSha256 h;
    for (size_t at = 0, step = 1; at < c.message.size(); at += step, step = step * 3 + 1)
      h.Update(c.message.data() + at, std::min(step, c.message.size() - at));
    EXPECT_EQ(HexOf(h.Finish()), c.digest);
  }
}

TEST(Crypto, Ed25519MatchesRfc8032AndRefusesAnyChange) {
  struct Case {
    const char *seed, *publicKey, *message, *signature;
  };
  const Case cases[] = {
      {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
       "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
       "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe2"
       "4"
       "655141438e7a100b"},
      {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
       "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
       "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302ae"
       "eb0"
       "0d291612bb0c00"},
      {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
       "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
       "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc6594a7c15e9716ed28"
       "d"
       "c027beceea1ec40a"},
  };
  for (const Case& c : cases) {
    uint8_t pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes], sig[kEd25519SignatureBytes];
    ASSERT_TRUE(ztEd25519SeedKeyPair(Bytes(c.seed).data(), pub, secret));
    EXPECT_EQ(ztHex(pub, sizeof pub), c.publicKey);
    std::vector<uint8_t> message = Bytes(c.message);
    ASSERT_TRUE(ztEd25519Sign(message.data(), message.size(), secret, sig));
    EXPECT_EQ(ztHex(sig, sizeof sig), c.signature);
    EXPECT_TRUE(ztEd25519Verify(message.data(), message.size(), sig, pub));
    sig[0] ^= 1;
    EXPECT_FALSE(ztEd25519Verify(message.data(), message.size(), sig, pub));
    sig[0] ^= 1;
    message.push_back(0);
    EXPECT_FALSE(ztEd25519Verify(message.data(), message.size(), sig, pub));
  }
}

TEST(Crypto, HexIsExactlyTwoDigitsPerByteInEitherCase) {
  const struct {
    std::string text;
    size_t size;
    const char* bytes;  // as ztHex writes them back; null: refused
  } cases[] = {
      {"", 0, ""},
      {"09afAF", 3, "09afaf"},  // the ends of each digit range
      {"abcd", 2, "abcd"},
      {"abc", 2, nullptr},    // one digit too few
      {"abcde", 2, nullptr},  // one digit too many
      {"ab", 2, nullptr},
      // The characters just outside each range, first and last.
      {"/0", 1, nullptr},
      {"0:", 1, nullptr},
      {"@0", 1, nullptr},
      {"0G", 1, nullptr},
      {"`0", 1, nullptr},
      {"0g", 1, nullptr},
      {std::string("0\0", 2), 1, nullptr},
  };
  for (const auto& c : cases) {
    uint8_t out[4] = {};
    const bool ok = ztParseHex(c.text.data(), c.text.size(), out, c.size);
    EXPECT_EQ(ok ? ztHex(out, c.size) : "refused", c.bytes ? c.bytes : "refused") << c.text << " into " << c.size;
  }
}

// ---- the manifest --------------------------------------------------------------

namespace {

struct Keys {
  uint8_t pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes];
  explicit Keys(uint8_t fill) {
    uint8_t seed[kEd25519SeedBytes];
    std::memset(seed, fill, sizeof seed);
    EXPECT_TRUE(ztEd25519SeedKeyPair(seed, pub, secret));
  }
};

ManifestEntry Entry(const std::u16string& path, const std::string& bytes) {
  return {path, bytes.size(), ztSha256::Of(bytes.data(), bytes.size())};
}

const std::string kDescription = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><update/>";
const std::string kSplash = "RA3 picture";
const std::vector<std::u16string> kData = {u"game.exe", u"maps\\\u5730\u56f3.map", u"empty.txt"};
const std::vector<std::string> kDataBytes = {"program", "map", ""};

UpdateManifest Sample(const Keys* key) {
  UpdateManifest m;
  m.majorVersion = 2;
  m.minorVersion = 1;
  m.files.push_back(Entry(u"updateinfo.xml", kDescription));
  m.files.push_back(Entry(u"updatebg.ra3", kSplash));
  for (size_t i = 0; i < kData.size(); ++i) m.files.push_back(Entry(u"data\\" + kData[i], kDataBytes[i]));
  ManifestDelta d;
  d.path = u"delta\\maps\\big map.pak";
  d.size = 12;
  d.sha256 = ztSha256::Of("delta", 5);
  d.baseSize = 1ull << 33;
  d.baseSha256 = ztSha256::Of("base", 4);
  d.outputSize = 5;
  d.outputSha256 = ztSha256::Of("new", 3);
  m.deltas.push_back(d);
  if (key) {
    m.hasKey = true;
    std::memcpy(m.key, key->pub, sizeof m.key);
  }
  return m;
}

std::string Signed(const UpdateManifest& m, const Keys& key) {
  return SignManifestBody(EncodeManifestBody(m), key.secret);
}

bool Decode(const std::string& text, UpdateManifest* out) {
  return DecodeManifest(reinterpret_cast<const uint8_t*>(text.data()), text.size(), out);
}

}  // namespace

TEST(Manifest, ASignedManifestReadsBackWhole) {
  const Keys key(7);
  const std::string text = Signed(Sample(&key), key);
  UpdateManifest m;
  ASSERT_TRUE(Decode(text, &m));
  EXPECT_EQ(m.Version(), 0x20001u);
  ASSERT_TRUE(m.hasKey && m.hasSignature);
  EXPECT_EQ(0, std::memcmp(m.key, key.pub, sizeof m.key));
  ASSERT_EQ(m.files.size(), 5u);
  EXPECT_EQ(m.files[3].path, u"data\\maps\\\u5730\u56f3.map");
  EXPECT_EQ(m.files[4].size, 0u);
  ASSERT_EQ(m.deltas.size(), 1u);
  EXPECT_EQ(m.deltas[0].Target(), u"maps\\big map.pak");
  EXPECT_EQ(m.deltas[0].baseSize, 1ull << 33);
  EXPECT_TRUE(m.deltas[0].baseSha256 == ztSha256::Of("base", 4) && m.deltas[0].outputSha256 == ztSha256::Of("new", 3));
  EXPECT_EQ(m.signedSize, text.rfind("signature "));
  EXPECT_TRUE(ztEd25519Verify(reinterpret_cast<const uint8_t*>(text.data()), m.signedSize, m.signature, key.pub));
}

TEST(Manifest, ACutManifestIsRefusedOrReadsAsUnsigned) {
  // Cut anywhere: either refused, or a shorter manifest that is no longer
  // signed (and that an installation with a key refuses for it).
  const Keys key(7);
  const std::string text = Signed(Sample(&key), key);
  for (size_t n = 0; n < text.size(); ++n) {
    UpdateManifest m;
    if (Decode(text.substr(0, n), &m)) {
      EXPECT_FALSE(m.hasSignature) << n;
      EXPECT_LT(m.files.size(), 6u);
    }
  }
}

TEST(Manifest, DamagedManifestsAreRefused) {
  const std::string hash(64, 'a');
  const std::string head = "ZTMANIFEST 1\nversion 2 1\n";
  const std::string file = "file 3 " + hash + " data\\a.txt\n";
  const std::string sig = "signature " + std::string(128, '0') + "\n";
  const std::string key = "key " + std::string(64, '1') + "\n";
  UpdateManifest good;
  ASSERT_TRUE(Decode(head + file, &good));
  const struct {
    const char* what;
    std::string text;
  } cases[] = {
      {"empty", ""},
      {"another header", "ZTMANIFEST 2\nversion 2 1\n" + file},
      {"CR LF lines", "ZTMANIFEST 1\r\nversion 2 1\r\n" + file},
      {"no version", "ZTMANIFEST 1\n" + file},
      {"a header with a space after it", "ZTMANIFEST 1 \nversion 2 1\n" + file},
      {"one version part", "ZTMANIFEST 1\nversion 2\n" + file},
      {"two spaces in the version", "ZTMANIFEST 1\nversion 2  1\n" + file},
      {"a space after the version", "ZTMANIFEST 1\nversion 2 1 \n" + file},
      {"a leading zero", "ZTMANIFEST 1\nversion 02 1\n" + file},
      {"no files", head},
      {"a short hash", head + "file 3 " + hash.substr(1) + " data\\a.txt\n"},
      {"a size that is no number", head + "file -3 " + hash + " data\\a.txt\n"},
      {"a file named like data", head + "file 3 " + hash + " database.txt\n"},
      {"an empty line", head + "\n" + file},
      {"an empty last line", head + file + "\n"},
      {"a key one digit short", head + "key " + std::string(63, '1') + "\n" + file},
      {"two keys", head + key + key + file},
      {"a signature one digit short", head + key + file + "signature " + std::string(127, '0') + "\n"},
      {"a path going up", head + "file 3 " + hash + " data\\..\\..\\windows\\a.dll\n"},
      {"a drive", head + "file 3 " + hash + " C:\\a.txt\n"},
      {"a file outside data", head + "file 3 " + hash + " updater.exe\n"},
      {"a file listed twice", head + file + file},
      {"bytes that are not UTF-8", head + "file 3 " + hash + " data\\\xff.txt\n"},
      {"a zero byte", head + "file 3 " + hash + " data\\a" + std::string(1, '\0') + ".txt\n"},
      {"an unknown line", head + file + "comment hello\n"},
      {"no last line end", head + file.substr(0, file.size() - 1)},
      {"a signature without a key", head + file + sig},
      {"a key after the files", head + file + key + sig},
      {"a line after the signature", head + key + file + sig + file},
      {"a delta outside delta", head + file + "delta 1 " + hash + " 2 " + hash + " 3 " + hash + " data\\a.txt\n"},
      {"a delta of the trusted key", head + file + "delta 1 " + hash + " 2 " + hash + " 3 " + hash + " delta\\UPDATE.KEY\n"},
      {"a delta one field short", head + file + "delta 1 " + hash + " 2 " + hash + " 3 delta\\a.txt\n"},
      {"a delta listed twice", head + file + [&] {
         const std::string d = "delta 1 " + hash + " 2 " + hash + " 3 " + hash + " delta\\a.txt\n";
         return d + d;
       }()},
  };
  for (const auto& c : cases) {
    UpdateManifest m;
    EXPECT_FALSE(Decode(c.text, &m)) << c.what;
  }
}

TEST(Manifest, EachLimitHoldsAtItsEndAndNotOnePast) {
  const std::string hash(64, 'a'), head = "ZTMANIFEST 1\nversion 2 1\n";
  auto file = [&](const std::string& size, const std::string& digits, const std::string& path) {
    return "file " + size + " " + digits + " " + path + "\n";
  };
  const std::string a = file("3", hash, "data\\a.txt");
  auto version = [&](const char* v) { return "ZTMANIFEST 1\nversion " + std::string(v) + "\n" + a; };
  auto keyed = [&](size_t keyDigits, size_t signatureDigits) {
    return head + "key " + std::string(keyDigits, '1') + "\n" + a + "signature " + std::string(signatureDigits, '0') +
           "\n";
  };
  // Counted in UTF-16 units: the emoji is 4 bytes and 2 units.
  auto path = [&](size_t units) {
    return head + file("3", hash, "data\\" + std::string(units - 7, 'a') + "\xF0\x9F\x98\x80");
  };
  // The largest manifest read, and one byte more that is otherwise as good.
  std::string big = head;
  for (size_t i = 0; kManifestLimit - big.size() > 300; ++i)
    big += file("1", hash, "data\\" + std::to_string(i) + std::string(150, 'x'));
  big += file("1", hash, "data\\" + std::string(kManifestLimit - big.size() - 78, 'y'));
  ASSERT_EQ(big.size(), kManifestLimit);
  std::string bigger = big;
  bigger.insert(big.find("file 1") + 6, "0");
  const struct {
    const char* what;
    std::string at, past;
  } limits[] = {
      {"major", version("65535 1"), version("65536 1")},
      {"minor", version("2 65535"), version("2 65536")},
      {"size", head + file("9223372036854775807", hash, "data\\a.txt"),
       head + file("9223372036854775808", hash, "data\\a.txt")},
      {"hash digits", head + a, head + file("3", hash + "a", "data\\a.txt")},
      {"key digits", keyed(64, 128), keyed(65, 128)},
      {"signature digits", keyed(64, 128), keyed(64, 129)},
      {"path units", path(259), path(260)},
      {"manifest bytes", big, bigger},
  };
  for (const auto& c : limits) {
    UpdateManifest m;
    EXPECT_TRUE(Decode(c.at, &m)) << c.what;
    EXPECT_FALSE(Decode(c.past, &m)) << c.what;
  }
}

TEST(Manifest, KeyFilesReadBackAndRefuseOtherText) {
  const Keys key(3);
  uint8_t pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes];
  const std::string pubText = EncodePublicKeyFile(key.pub), secretText = EncodeSecretKeyFile(key.secret);
  auto data = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
  ASSERT_TRUE(DecodePublicKeyFile(data(pubText), pubText.size(), pub));
  EXPECT_EQ(0, std::memcmp(pub, key.pub, sizeof pub));
  ASSERT_TRUE(DecodeSecretKeyFile(data(secretText), secretText.size(), secret));
  EXPECT_EQ(0, std::memcmp(secret, key.secret, sizeof secret));
  // Each is refused as the other, cut, or with a stray character.
  EXPECT_FALSE(DecodePublicKeyFile(data(secretText), secretText.size(), pub));
  EXPECT_FALSE(DecodeSecretKeyFile(data(pubText), pubText.size(), secret));
  EXPECT_FALSE(DecodePublicKeyFile(data(pubText), pubText.size() - 4, pub));
  EXPECT_FALSE(DecodePublicKeyFile(data(" " + pubText), pubText.size() + 1, pub));
  // One line of the tag and exactly the key's digits.
  const std::string hex = ztHex(key.pub, sizeof key.pub), secretHex = ztHex(key.secret, sizeof key.secret);
  const struct {
    const char* what;
    bool secret;
    std::string text;
    bool ok;
  } cases[] = {
      {"no line end", false, "ZTKEY1 " + hex, true},
      {"a line feed alone", false, "ZTKEY1 " + hex + "\n", true},
      {"63 digits", false, "ZTKEY1 " + hex.substr(1), false},
      {"65 digits", false, "ZTKEY1 " + hex + "0", false},
      {"127 digits", true, "ZTSECRET1 " + secretHex.substr(1), false},
      {"129 digits", true, "ZTSECRET1 " + secretHex + "0", false},
      {"a space at the end", false, "ZTKEY1 " + hex + " \r\n", false},
      {"two lines", false, pubText + pubText, false},
  };
  for (const auto& c : cases) {
    uint8_t got[kEd25519SecretKeyBytes] = {};
    const bool ok = c.secret ? DecodeSecretKeyFile(data(c.text), c.text.size(), got)
                             : DecodePublicKeyFile(data(c.text), c.text.size(), got);
    EXPECT_EQ(ok, c.ok) << c.what;
    EXPECT_TRUE(!ok || std::memcmp(got, c.secret ? key.secret : key.pub, c.secret ? sizeof secret : sizeof pub) == 0);
  }
}

// ---- the rules -----------------------------------------------------------------

TEST(PackageRules, EachFaultIsRefusedWithItsReasonAndTheFile) {
  const Keys key(1), other(2);
  struct Case {
    const char* what;
    bool trusted;                               // the installation has `key`
    std::function<std::string()> manifest;      // empty: none
    std::function<void(PackageFacts&)> change;  // of the package or installation
    int failure;
    std::u16string file;
  };
  auto signedBy = [&](const Keys& k, std::function<void(UpdateManifest&)> edit = nullptr) {
    return [&k, edit] {
      UpdateManifest m = Sample(&k);
      if (edit) edit(m);
      return Signed(m, k);
    };
  };
  auto unsignedSample = [] { return EncodeManifestBody(Sample(nullptr)); };
  auto older = [](UpdateManifest& m) { m.minorVersion = 0; };
  auto unsignedOlder = [older] {
    UpdateManifest m = Sample(nullptr);
    older(m);
    return EncodeManifestBody(m);
  };
  auto changed = [](std::function<std::string()> make, std::function<void(std::string&)> change) {
    return [make, change] {
      std::string s = make();
      change(s);
      return s;
    };
  };
  auto sizeDigit = [](std::string& s) { s[s.find("file ") + 5] ^= 1; };  // still a manifest
  const std::function<void(PackageFacts&)> none = [](PackageFacts&) {};
  std::vector<std::u16string> extra = kData, fewer = kData;
  extra.push_back(u"new.txt");
  fewer.pop_back();
  std::vector<uint64_t> extraSizes = {7, 3, 0, 0}, fewerSizes = {7, 3}, otherSizes = {7, 4, 0};
  auto withAdded = [&](std::function<void(PackageFacts&)> more) {
    return [&, more](PackageFacts& f) {
      f.dataPaths = &extra;
      f.dataSizes = &extraSizes;
      more(f);
    };
  };
  const Case cases[] = {
      {"signed with the trusted key", true, signedBy(key), none, kVerifyOk, u""},
      {"no key, no manifest", false, nullptr, none, kVerifyOk, u""},
      {"no key, an unsigned manifest", false, unsignedSample, none, kVerifyOk, u""},
      {"no key, signed by anyone", false, signedBy(other), none, kVerifyOk, u""},
      {"a key and no manifest", true, nullptr, none, kVerifyNotSigned, kManifestName},
      {"a key and an unsigned manifest", true, unsignedSample, none, kVerifyNotSigned, kManifestName},
      {"signed by another key", true, signedBy(other), none, kVerifyUnknownKey, kManifestName},
      {"a damaged key file", false, signedBy(key), [](PackageFacts& f) { f.keyFileDamaged = true; }, kVerifyBadKeyFile,
       kTrustedKeyName},
      {"a damaged manifest", false, [] { return std::string("ZTMANIFEST 1\n"); }, none, kVerifyBadManifest,
       kManifestName},
      {"a changed signed byte", true, changed(signedBy(key), sizeDigit), none, kVerifyBadSignature, kManifestName},
      {"an older version", true, signedBy(key, [](UpdateManifest& m) { m.minorVersion = 0; }), none,
       kVerifyOlderVersion, kManifestName},
      {"the installed version itself", true, signedBy(key, [](UpdateManifest& m) { m.minorVersion = 1; }), none,
       kVerifyOk, u""},
      {"another description", true, signedBy(key), [](PackageFacts& f) { f.descriptionDigest.bytes[31] ^= 1; },
       kVerifyHashMismatch, u"updateinfo.xml"},
      {"another splash", false, unsignedSample, [](PackageFacts& f) { f.splashDigest.bytes[0] ^= 1; },
       kVerifyHashMismatch, u"updatebg.ra3"},
      {"no splash", true, signedBy(key), [](PackageFacts& f) { f.hasSplash = false; }, kVerifyFileMissing,
       u"updatebg.ra3"},
      {"a file added to data", true, signedBy(key), withAdded(none), kVerifyFileNotListed, u"data\\new.txt"},
      {"a file removed from data", false, unsignedSample,
       [&](PackageFacts& f) {
         f.dataPaths = &fewer;
         f.dataSizes = &fewerSizes;
       },
       kVerifyFileMissing, u"data\\empty.txt"},
      {"a data file of another size", true, signedBy(key), [&](PackageFacts& f) { f.dataSizes = &otherSizes; },
       kVerifyHashMismatch, u"data\\maps\\\u5730\u56f3.map"},
      {"no key, an older version", false, unsignedOlder, none, kVerifyOk, u""},
      {"2.0 over the highest minor of 1", true, signedBy(key, older),
       [](PackageFacts& f) { f.installedVersion = 0x1FFFF; }, kVerifyOk, u""},
      {"a byte added inside the signed lines", true,
       changed(signedBy(key), [](std::string& s) { s.insert(s.find("file ") + 5, "1"); }), none, kVerifyBadSignature,
       kManifestName},
      {"a digit added to the signature", true,
       changed(signedBy(key), [](std::string& s) { s.insert(s.size() - 1, "0"); }), none, kVerifyBadManifest,
       kManifestName},
      // Two faults at once: the first rule broken names the reason.
      {"a damaged key file and no manifest", false, nullptr, [](PackageFacts& f) { f.keyFileDamaged = true; },
       kVerifyBadKeyFile, kTrustedKeyName},
      {"a key and a damaged manifest", true, [] { return std::string("ZTMANIFEST 1\n"); }, none, kVerifyBadManifest,
       kManifestName},
      {"a key and an unsigned older manifest", true, unsignedOlder, none, kVerifyNotSigned, kManifestName},
      {"another key and a changed signed byte", true, changed(signedBy(other), sizeDigit), none, kVerifyUnknownKey,
       kManifestName},
      {"another key and a file removed from data", true, signedBy(other),
       [&](PackageFacts& f) { f.dataPaths = &fewer; }, kVerifyUnknownKey, kManifestName},
      {"an older version and a changed signed byte", true, changed(signedBy(key, older), sizeDigit), none,
       kVerifyBadSignature, kManifestName},
      {"an older version and a file added to data", true, signedBy(key, older), withAdded(none), kVerifyOlderVersion,
       kManifestName},
      {"another description and a file added to data", true, signedBy(key),
       withAdded([](PackageFacts& f) { f.descriptionDigest.bytes[0] ^= 1; }), kVerifyHashMismatch, u"updateinfo.xml"},
      {"no splash and a file added to data", true, signedBy(key),
       withAdded([](PackageFacts& f) { f.hasSplash = false; }), kVerifyFileMissing, u"updatebg.ra3"},
      {"a data file removed and another of another size", true, signedBy(key),
       [&](PackageFacts& f) {
         f.dataPaths = &fewer;
         f.dataSizes = &otherSizes;
       },
       kVerifyHashMismatch, u"data\\maps\\\u5730\u56f3.map"},
  };
  const std::vector<uint64_t> sizes = {7, 3, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> manifest;
    if (c.manifest) {
      const std::string text = c.manifest();
      manifest.assign(text.begin(), text.end());
    }
    PackageFacts f;
    f.trustedKey = c.trusted ? key.pub : nullptr;
    f.manifest = c.manifest ? &manifest : nullptr;
    f.installedVersion = 0x20001;
    f.descriptionDigest = ztSha256::Of(kDescription.data(), kDescription.size());
    f.hasSplash = true;
    f.splashDigest = ztSha256::Of(kSplash.data(), kSplash.size());
    f.dataPaths = &kData;
    f.dataSizes = &sizes;
    c.change(f);
    std::vector<ztSha256Digest> expected(1);
    std::vector<ManifestDelta> deltas(1);
    const VerifyResult r = CheckPackage(f, &expected, &deltas);
    EXPECT_EQ(r.failure, c.failure) << VerifyFailureWords(r.failure);
    EXPECT_EQ(r.file, c.file);
    // The engine's digests come in the data walk's order, and only with a
    // manifest that passed.
    if (r.failure == kVerifyOk && c.manifest) {
      ASSERT_EQ(expected.size(), kData.size());
      for (size_t i = 0; i < kData.size(); ++i)
        EXPECT_EQ(expected[i], ztSha256::Of(kDataBytes[i].data(), kDataBytes[i].size()));
      ASSERT_EQ(deltas.size(), 1u);
      EXPECT_EQ(deltas[0].path, u"delta\\maps\\big map.pak");
    } else {
      EXPECT_TRUE(expected.empty());
      EXPECT_TRUE(deltas.empty());
    }
  }
}

TEST(PackageRules, TheCopysCheckRefusesEachFileWhoseBytesDiffer) {
  // Blocks in uneven pieces, an empty file and a job with no digest; each
  // file block by block, then the same files whole.
  const std::string big(9u << 20, 'x');
  struct Case {
    std::vector<std::vector<std::string>> files;  // each file's blocks
    std::vector<intptr_t> refused;
  };
  const std::vector<ztSha256Digest> expected = {ztSha256::Of("ab", 2), ztSha256::Of(big.data(), big.size()),
                                                ztSha256::Of("", 0)};
  const Case cases[] = {
      {{{"a", "b"}, {big.substr(0, 5), big.substr(5)}, {}}, {}},
      {{{"ab"}, {big.substr(1), "x"}, {}}, {}},
      {{{"ab"}, {big.substr(1), "y"}, {}}, {1}},
      {{{"aB"}, {big}, {"!"}}, {0, 2}},
      {{{"ab"}, {big}, {}, {}}, {3}},  // a fourth job: not a file of the package
  };
  for (bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "whole files" : "block by block");
    for (const Case& c : cases) {
      ManifestDigestCheck check(expected);
      // Whole files are checked in any order (two threads may do it).
      for (size_t n = 0; n < c.files.size(); ++n) {
        const size_t i = whole ? c.files.size() - 1 - n : n;
        std::string all;
        for (const std::string& block : c.files[i]) all += block;
        int32_t verdict = 0;
        if (whole) {
          verdict = check.CheckFile(i, all.data(), static_cast<uint32_t>(all.size()));
        } else {
          check.BeginFile(i);
          for (const std::string& b : c.files[i]) check.AddBlock(b.data(), static_cast<uint32_t>(b.size()));
          verdict = check.EndFile();
        }
        const bool refused = std::find(c.refused.begin(), c.refused.end(), static_cast<intptr_t>(i)) != c.refused.end();
        EXPECT_EQ(verdict, refused ? 0 : 1) << i;
      }
      // The lowest job refused is the one named.
      EXPECT_EQ(check.FailedJob(), c.refused.empty() ? -1 : c.refused.front());
    }
  }
}
