// The package's manifest and the author's keys: hashing a package's files
// into update.manifest (app/UpdateManifest.h holds the format and the rules
// the updater applies), signing it, and making a key pair.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/UpdateManifest.h"
#include "pack/packreport.h"

// SHA-256 and size of a file, read in `buffer`-sized blocks.
bool HashFile(const std::u16string& path, ztSha256Digest* digest, uint64_t* size, std::vector<uint8_t>* buffer);

// The manifest entries of the package's files in the order the manifest
// lists them: updateinfo.xml, updatebg.ra3 when there, then every file below
// data ("data\..."), sorted. False with the reason in `error`.
bool HashPackage(const std::u16string& package, std::vector<ManifestEntry>* files, std::string* error,
                 const ProgressSink& progress);

// The delta lines for the files below the package's delta folder as they
// are now, sorted: each file's size and SHA-256 read from it, the base and
// the output it stands for taken from `known` (by path), which only the
// build that made the delta can tell. False with the reason in `error` for
// a delta file `known` does not list, and for a listed one that is gone
// while data holds no whole file for it (the change would be lost); a
// listed one that is gone beside its whole file is left out.
bool HashDeltas(const std::u16string& package, const std::vector<ManifestDelta>& known,
                std::vector<ManifestDelta>* deltas, std::string* error, const ProgressSink& progress);

// The delta lines of the package's manifest as it is now; none when it has
// no manifest or one that does not decode.
std::vector<ManifestDelta> ListedDeltas(const std::u16string& package);

// Writes PKG\update.manifest for the package as it is now: installing
// version major.minor, signed when `secretKey` is given, with a delta line
// for each file below delta (see HashDeltas). False with the reason in
// `error`.
bool WritePackageManifest(const std::u16string& package, uint32_t major, uint32_t minor, const uint8_t* secretKey,
                          std::string* error, const ProgressSink& progress,
                          const std::vector<ManifestDelta>& knownDeltas = {});

// Reads a secret key file ("ZTSECRET1 ..."), checking that its public half
// belongs to its seed. False with the reason in `error`.
bool LoadSecretKey(const std::u16string& path, uint8_t key[kEd25519SecretKeyBytes], std::string* error);

// Makes a new key pair: `path` holds the secret key, `path`.pub the public
// key file an installation trusts (update.key). Neither may exist yet.
bool MakeKeyPair(const std::u16string& path, std::string* error);
