#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/records.h"

// The server file that hands a folder over to a new key: the new key's public key file, signed
// (in "nuvrakey.pub.minisig") by the key it replaces.
inline constexpr const char* rotationFileName = "nuvrakey.pub";

// The key that the server's files must be signed with: `builtInKey` (the base64 line of a
// minisign public key) when it is not empty, otherwise "nuvraupdater.pub" in `rootDir` when that
// exists, otherwise none, and the server's files are read unsigned. Raises "Invalid built-in
// public key", "Invalid public key file: <path>" and the reader's errors.
std::optional<PublicKey> pinnedKeyFrom(const std::filesystem::path& rootDir,
                                       const std::string& builtInKey);

// The highest sequence number recorded in "nuvrasequence.json" in `rootDir` for `key`; 0 when
// the file or the key's entry is absent. Raises the reader's errors for a damaged file.
std::uint64_t acceptedSequence(const std::filesystem::path& rootDir, const PublicKey& key);
// Records `sequence` for `key` in "nuvrasequence.json" in `rootDir` (atomically, other keys'
// entries kept) when it is above the recorded one; a first sequence of 0 is not written.
void recordAcceptedSequence(const std::filesystem::path& rootDir, const PublicKey& key,
                            std::uint64_t sequence);
