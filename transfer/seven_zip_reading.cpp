#include "transfer/seven_zip_reading.h"

#include <stdexcept>

#include "platform/archive_names.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t readBlockSize = 10240;

}  // namespace

std::string errorText(archive* handle) {
    const char* text = archive_error_string(handle);
    return text ? text : "";
}

ArchiveReader openSevenZip(const fs::path& archive, const fs::path& shownName) {
    ArchiveReader reader(archive_read_new());
    if (!reader) throw std::runtime_error("Unable to initialize libarchive");
    archive_read_support_format_7zip(reader.get());
    archive_read_support_filter_all(reader.get());
    if (openArchiveFile(reader.get(), archive, readBlockSize) != ARCHIVE_OK)
        throw std::runtime_error("Unable to open archive: " + textFromPath(shownName) + " (" +
                                 errorText(reader.get()) + ")");
    return reader;
}

archive_entry* nextEntry(archive* reader, const fs::path& archive) {
    archive_entry* entry = nullptr;
    int header = archive_read_next_header(reader, &entry);
    if (header == ARCHIVE_EOF) return nullptr;
    // Stopping quietly here would record half a modpak as applied. A warning is a name that
    // cannot be converted even to UTF-8: writing it under a mangled name helps no one.
    if (header != ARCHIVE_OK)
        throw std::runtime_error("Unable to read archive: " + textFromPath(archive) + " (" +
                                 errorText(reader) + ")");
    return entry;
}

bool nextBlock(archive* reader, DataBlock& block) {
    int read = archive_read_data_block(reader, &block.bytes, &block.size, &block.offset);
    if (read == ARCHIVE_EOF) return false;
    if (read != ARCHIVE_OK) throw std::runtime_error("Unable to read archive data");
    return true;
}
