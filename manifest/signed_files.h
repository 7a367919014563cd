#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "manifest/records.h"

struct UpdateRun;

// The key that the server's files must be signed with: `builtInKey` (the base64 line of a
// minisign public key) when it is not empty, otherwise "nuvraupdater.pub" in `rootDir` when that
// exists, otherwise none, and the server's files are read unsigned. Raises "Invalid built-in
// public key", "Invalid public key file: <path>" and the reader's errors.
std::optional<PublicKey> pinnedKeyFrom(const std::filesystem::path& rootDir,
                                       const std::string& builtInKey);
// pinnedKeyFrom with the key this build was given (the NUVRA_PUBLIC_KEY CMake option).
std::optional<PublicKey> loadPinnedKey(const std::filesystem::path& rootDir);

// Fetches the server file `name` (the base URL followed by `name`) into the root folder, a
// download asking for a compressed transfer (BodyEncoding::compressed). With a
// pinned key it also fetches "<name>.minisig" beside it and, before anything reads the file,
// verifies it (verifySignature) and raises "Refusing an older server manifest: ..." when its
// sequence number is below the one this game folder accepted last; the run keeps the highest
// sequence seen in `signedSequence`. Fetch and reader errors propagate.
void fetchServerFile(UpdateRun& run, const std::string& name);

// The highest sequence number recorded in "nuvrasequence.json" in `rootDir` for `key`; 0 when
// the file or the key's entry is absent. Raises the reader's errors for a damaged file.
std::uint64_t acceptedSequence(const std::filesystem::path& rootDir, const PublicKey& key);
// With a pinned key, records the run's `signedSequence` for it in "nuvrasequence.json"
// (atomically, other keys' entries kept) when it is above the recorded one.
void recordAcceptedSequence(UpdateRun& run);
