#pragma once
#include <archive.h>

#include <cstddef>
#include <filesystem>
#include <string>

#include "transfer/handles.h"

// The library's last error text for `handle`, or "".
std::string errorText(archive* handle);

// A reader with the 7-Zip format and every filter, opened on `archive`, called `shownName` in
// messages. Raises "Unable to open archive: <shownName> (<library text>)".
ArchiveReader openSevenZip(const std::filesystem::path& archive,
                           const std::filesystem::path& shownName);

// The next entry's header, or null at the end of the archive. Raises "Unable to read archive:
// <archive> (<library text>)" for a damaged header and for a warning.
archive_entry* nextEntry(archive* reader, const std::filesystem::path& archive);

struct DataBlock {
    const void* bytes = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
};

// The current entry's next block of data; false at the entry's end. Raises "Unable to read
// archive data".
bool nextBlock(archive* reader, DataBlock& block);
