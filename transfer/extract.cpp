#include "transfer/extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "platform/archive_names.h"
#include "platform/paths.h"
#include "transfer/handles.h"

namespace fs = std::filesystem;

namespace {

// PERM | TIME | SECURE_NODOTDOT: modes and times from the archive, no ".." component. Links
// along a path are not guarded by the writer; the containment test below covers them.
constexpr int writerOptions =
    ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
constexpr size_t readBlockSize = 10240;

std::string errorText(archive* handle) {
    const char* text = archive_error_string(handle);
    return text ? text : "";
}

// Folders and regular files cannot add a link to a path or retarget one: at most they replace
// a link or an empty folder with a real folder or file, whose resolution then stays put or
// becomes purely lexical. Anything else (a link, a hard link, a device) may change where an
// already verified folder resolves to.
bool keepsResolutions(archive_entry* entry) {
    mode_t type = archive_entry_filetype(entry);
    return (type == AE_IFREG || type == AE_IFDIR) && archive_entry_hardlink(entry) == nullptr;
}

// Whatever stands at a new entry's name, but a real folder, is removed as itself before the
// writer sees it: the writer's own replacement of a file deletes through a link on systems that
// do not report a link to a file as one. A folder entry keeps what it finds, as the writer does.
void clearEntryName(const fs::path& target, archive_entry* entry) {
    if (archive_entry_filetype(entry) == AE_IFDIR) return;
    std::error_code code;
    const EntryType standing = entryType(target, code);
    if (!code && standing != EntryType::absent && standing != EntryType::folder)
        code = removeEntry(target);
    if (code)
        throw std::runtime_error("Unable to write archive entry: " + textFromPath(target) + " (" +
                                 errorDescription(code) + ")");
}

// A reader with the 7-Zip format and every filter, opened on `archive`, called `shownName` in
// messages.
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

// The next entry's header, or null at the end of the archive.
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

struct DataBlock {
    const void* bytes = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
};

// The current entry's next block of data; false at the entry's end.
bool nextBlock(archive* reader, DataBlock& block) {
    int read = archive_read_data_block(reader, &block.bytes, &block.size, &block.offset);
    if (read == ARCHIVE_EOF) return false;
    if (read != ARCHIVE_OK) throw std::runtime_error("Unable to read archive data");
    return true;
}

}  // namespace

void extractArchive(const fs::path& archive, const fs::path& destination,
                    const ByteProgress* progress, const fs::path* shownName) {
    const fs::path& name = shownName ? *shownName : archive;
    createDirectories(destination);
    std::error_code sizeUnknown;
    const std::uintmax_t archiveSize = progress ? fs::file_size(archive, sizeUnknown) : 0;
    // The bytes taken from the file, not those unpacked: they end exactly at the archive's size.
    auto reportRead = [&](struct archive* reading) {
        if (!progress || sizeUnknown) return;
        const la_int64_t read = archive_filter_bytes(reading, -1);
        if (read >= 0)
            (*progress)(std::min<std::uint64_t>(static_cast<std::uint64_t>(read), archiveSize),
                        archiveSize);
    };
    // 7-Zip names are UTF-16, which the reader converts to this thread's character set. In the
    // C locale that the process keeps, names outside ASCII could not be converted at all.
    ThreadUtf8Locale utf8Names;

    ArchiveReader reader = openSevenZip(archive, name);
    ArchiveWriter writer(archive_write_disk_new());  // released first: it completes folder times
    if (!writer) throw std::runtime_error("Unable to initialize libarchive");
    archive_write_disk_set_options(writer.get(), writerOptions);
    archive_write_disk_set_standard_lookup(writer.get());

    // Resolved once: no entry may legitimately change where the destination lies, and a fixed
    // reference cannot be moved by an entry that turns the destination itself into a link.
    const fs::path canonicalDestination = weaklyCanonical(destination);
    // Entry folders (as joined, not resolved) already found inside. Resolving a folder costs a
    // system call per component; most entries share their folder with the one before.
    std::unordered_set<fs::path::string_type> verifiedFolders;

    while (archive_entry* entry = nextEntry(reader.get(), name)) {
        fs::path target = destination / archiveEntryPath(entry);
        fs::path folder = target.parent_path();
        if (folder.empty()) folder = destination;
        if (!keepsResolutions(entry)) verifiedFolders.clear();
        fs::path::string_type folderKey = folder.native();
        if (!verifiedFolders.contains(folderKey)) {
            if (!isInsideFolder(weaklyCanonical(folder), canonicalDestination))
                throw std::runtime_error("Blocked archive entry outside destination: " +
                                         textFromPath(target));
            verifiedFolders.insert(std::move(folderKey));
        }

        clearEntryName(target, entry);
        setArchiveEntryPath(entry, target);
        if (archive_write_header(writer.get(), entry) != ARCHIVE_OK)
            throw std::runtime_error("Unable to write archive entry: " + errorText(writer.get()));

        for (DataBlock block; nextBlock(reader.get(), block);) {
            // The offset goes through unchanged, so the writer leaves the holes of sparse entries.
            if (archive_write_data_block(writer.get(), block.bytes, block.size, block.offset) !=
                ARCHIVE_OK)
                throw std::runtime_error("Unable to write archive data");
            reportRead(reader.get());
        }
        archive_write_finish_entry(writer.get());
        reportRead(reader.get());
    }
}

void readArchiveThrough(const fs::path& archive) {
    ThreadUtf8Locale utf8Names;
    ArchiveReader reader = openSevenZip(archive, archive);
    while (nextEntry(reader.get(), archive)) {
        // Skipping would not decode the data, and so would not find a damaged block.
        for (DataBlock block; nextBlock(reader.get(), block);) {
        }
    }
}

std::vector<fs::path> archiveEntryNames(const fs::path& archive) {
    ThreadUtf8Locale utf8Names;
    ArchiveReader reader = openSevenZip(archive, archive);
    std::vector<fs::path> names;
    // Moving to the next header skips the data unread: 7-Zip's reader then decodes nothing.
    while (archive_entry* entry = nextEntry(reader.get(), archive))
        names.push_back(archiveEntryPath(entry));
    return names;
}
