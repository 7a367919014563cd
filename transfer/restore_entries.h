#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "transfer/download.h"

enum class RestoreOutcome { restored, unchanged, refused };

struct RestoredEntry {
    std::filesystem::path name;  // relative to the destination, as the archive names it
    std::uint64_t size = 0;
    std::string sha256;  // of the archive's entry
    RestoreOutcome outcome = RestoreOutcome::unchanged;
};

// For a regular file entry of the archive (named relative to the destination): nullopt to leave
// it, "" to take whatever the archive holds, or the 64 hex digits its contents must hash to.
using WantedEntry = std::function<std::optional<std::string>(const std::filesystem::path& name)>;

// Puts back the regular file entries of the 7-Zip archive that `wanted` asks for, and only those,
// each written to "<target>.part" (created fresh, never through a link) and hashed on the way.
// An entry whose hash differs from the one asked for is removed and reported `refused`; one equal
// to the file already in place is removed and reported `unchanged`, leaving that file untouched;
// any other takes the target's name (`restored`). Entries whose folder resolves outside the
// destination raise "Blocked archive entry outside destination: <target>"; the archive's and the
// file system's errors are raised as extractArchive raises them, and the first one stops it.
// `progress` is told of the bytes of the archive read so far.
std::vector<RestoredEntry> restoreEntries(const std::filesystem::path& archive,
                                          const std::filesystem::path& destination,
                                          const WantedEntry& wanted,
                                          const ByteProgress* progress = nullptr,
                                          const std::filesystem::path* shownName = nullptr);

// The SHA-256 of the regular file at `path` as 64 hex digits; nullopt when it cannot be read.
std::optional<std::string> sha256OfFile(const std::filesystem::path& path);
