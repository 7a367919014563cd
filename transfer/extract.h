#pragma once
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "transfer/download.h"

// An entry that extractArchive wrote, named relative to the destination as the archive names it
// (entries with absolute names are left out). A regular file comes with its size and SHA-256,
// hashed on a second thread while it is written. Kept small, as there is one per entry of an
// archive of tens of thousands: the name as its native string rather than a path (which holds a
// list of its components), the digest as bytes.
struct ExtractedEntry {
    std::filesystem::path::string_type name;
    bool regularFile = false;
    bool folder = false;
    std::uint64_t size = 0;
    Sha256Digest sha256{};
};

// Unpacks the 7-Zip archive into `destination` (created first), refusing any entry whose folder
// resolves outside the destination (links followed); names outside ASCII land as UTF-8 bytes.
// Entries written before a failure stay. Raises runtime_error "Unable to open archive: ...",
// "Unable to read archive: ..." (a damaged archive), "Blocked archive entry outside destination:
// <target>", "Unable to write archive entry: ...", "Unable to read archive data", "Unable to
// write archive data", and the path errors. `progress` is told how many bytes of the archive file
// have been read so far, out of its size, after every block. Messages name the archive as
// `shownName` when one is given (the file it stands for), else as `archive`. `extracted`, when
// given, receives every entry written, in archive order, once the whole archive is written (a
// deque: it grows without moving what it holds, or holding twice its size while it does).
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination,
                    const ByteProgress* progress = nullptr,
                    const std::filesystem::path* shownName = nullptr,
                    std::deque<ExtractedEntry>* extracted = nullptr);

// Reads the 7-Zip archive to its end, every entry's data included, writing nothing: what
// extractArchive would read. Raises "Unable to open archive: ...", "Unable to read archive: ..."
// and "Unable to read archive data".
void readArchiveThrough(const std::filesystem::path& archive);

// The names of the archive's entries as relative paths, as extractArchive would join them to its
// destination, read from the headers alone (no entry's data is decoded). Raises "Unable to open
// archive: ..." and "Unable to read archive: ...".
std::vector<std::filesystem::path> archiveEntryNames(const std::filesystem::path& archive);

// What the archive's headers say its regular files unpack to, in bytes, read from the headers
// alone; extractArchive writes no more than that. Raises as archiveEntryNames.
std::uint64_t unpackedSize(const std::filesystem::path& archive);
