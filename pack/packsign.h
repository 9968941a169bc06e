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

// Writes PKG\update.manifest for the package as it is now: installing
// version major.minor, signed when `secretKey` is given. False with the
// reason in `error`.
bool WritePackageManifest(const std::u16string& package, uint32_t major, uint32_t minor, const uint8_t* secretKey,
                          std::string* error, const ProgressSink& progress);

// Reads a secret key file ("ZTSECRET1 ..."), checking that its public half
// belongs to its seed. False with the reason in `error`.
bool LoadSecretKey(const std::u16string& path, uint8_t key[kEd25519SecretKeyBytes], std::string* error);

// Makes a new key pair: `path` holds the secret key, `path`.pub the public
// key file an installation trusts (update.key). Neither may exist yet.
bool MakeKeyPair(const std::u16string& path, std::string* error);
