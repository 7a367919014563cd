#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/records.h"

// Key pairs and signatures in minisign's formats, for the server folder's three files.

struct SecretKey {
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 64> key{};  // libsodium's Ed25519 secret key (seed and public key)
};

// Writes a new key pair into `dir` (created if needed): "nuvrapublish.key", the secret key in
// minisign's format, encrypted with `password` as minisign does (scrypt, checksum by BLAKE2b),
// or unencrypted without one; and "nuvraupdater.pub", the public key for the game folder.
// Raises "Refusing to overwrite <path>" when either exists, and the writer's errors.
PublicKey generateKeyPair(const std::filesystem::path& dir,
                          const std::optional<std::string>& password);

// True when the secret key file needs a password. Raises "Invalid secret key file: <path>" and
// the reader's errors.
bool secretKeyIsEncrypted(const std::filesystem::path& path);
// The secret key of a minisign secret key file, decrypted with `password` when it is encrypted.
// Raises "Invalid secret key file: <path>" and "Wrong password for <path>".
SecretKey readSecretKeyFile(const std::filesystem::path& path, const std::string& password);

// True when one of the three server files in `dir` has a "<name>.minisig" beside it.
bool serverIsSigned(const std::filesystem::path& dir);

// Signs the three server files of `dir` with the next sequence number (one above the highest in
// their signatures so far, 1 for the first) and writes each "<name>.minisig" atomically: the
// prehashed form, trusted comment "timestamp:<seconds>\tfile:<name>\tseq:<n>", followed by
// "\texpires:<seconds>" `lifetime` seconds from now unless `lifetime` is 0. Returns the sequence
// number. Raises the reader's and writer's errors.
std::uint64_t signServer(const std::filesystem::path& dir, const SecretKey& key,
                         std::uint64_t lifetime);

// Hands the server folder `dir` over from `oldKey` to `newKey`: signs the three server files with
// `newKey` (signServer, the next sequence number, which it returns), then writes the new public
// key as "nuvrakey.pub" with "nuvrakey.pub.minisig", signed by `oldKey` with trusted comment
// "timestamp:<seconds>\tfile:nuvrakey.pub\tseq:<n>", n the folder's sequence before this call,
// from which updaters count the new key's publications. Raises "The old and the new key are the
// same key (<id>)", and the reader's and writer's errors.
std::uint64_t rotateKey(const std::filesystem::path& dir, const SecretKey& oldKey,
                        const SecretKey& newKey, std::uint64_t lifetime);
