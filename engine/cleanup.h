#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

#include "manifest/records.h"

// Removes every path of `fileEntries` that belongs to modpak `modPakNum` from `rootDir` (folders
// with their contents; links as links) and verifies each is gone. Raises "Unable to delete ...",
// "Unable to verify deletion of ...", "Deletion did not remove ..." or the unsafe-path refusal;
// the first failure stops it.
void cleanupModpak(const std::filesystem::path& rootDir, const std::vector<FileEntry>& fileEntries,
                   std::int32_t modPakNum);

// Raises the unsafe-path refusal that cleanupModpak would raise for one of the modpak's paths,
// before anything is fetched or removed for it; removes nothing.
void refuseUnsafeCleanup(const std::filesystem::path& rootDir,
                         const std::vector<FileEntry>& fileEntries, std::int32_t modPakNum);
