#include "transfer/extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "platform/archive_names.h"
#include "platform/paths.h"
#include "transfer/background_sha256.h"
#include "transfer/handles.h"
#include "transfer/seven_zip_reading.h"

namespace fs = std::filesystem;

namespace {

// PERM | TIME | SECURE_NODOTDOT: modes and times from the archive, no ".." component. Links
// along a path are not guarded by the writer; the containment test below covers them.
constexpr int writerOptions =
    ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
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

// Feeds zeros up to `end`: the holes of a sparse entry read as zeros.
void hashZeros(BackgroundSha256& hashing, std::uint64_t& hashed, std::uint64_t end) {
    static const char zeros[4096] = {};
    while (hashed < end) {
        const auto count =
            static_cast<std::size_t>(std::min<std::uint64_t>(end - hashed, sizeof zeros));
        hashing.update(zeros, count);
        hashed += count;
    }
}

void hashBlock(BackgroundSha256& hashing, std::uint64_t& hashed, const DataBlock& block) {
    if (block.offset > 0) hashZeros(hashing, hashed, static_cast<std::uint64_t>(block.offset));
    hashing.update(static_cast<const char*>(block.bytes), block.size);
    hashed += block.size;
}

}  // namespace

void extractArchive(const fs::path& archive, const fs::path& destination,
                    const ByteProgress* progress, const fs::path* shownName,
                    std::deque<ExtractedEntry>* extracted) {
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
    // Hashed on one worker for the whole archive, entry after entry, while the writing goes on.
    std::optional<BackgroundSha256> hashing;
    if (extracted) hashing.emplace();
    std::deque<ExtractedEntry> written;

    while (archive_entry* entry = nextEntry(reader.get(), name)) {
        const fs::path relative = archiveEntryPath(entry);
        fs::path target = destination / relative;
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

        const bool recorded = hashing && relative.is_relative();
        const bool hashed = recorded && archive_entry_filetype(entry) == AE_IFREG &&
                            archive_entry_hardlink(entry) == nullptr;
        std::uint64_t hashedSize = 0;
        // The room checked before unpacking is what the headers declare: an entry whose data runs
        // past its declared size is a damaged archive, stopped before the excess is written.
        const std::optional<std::uint64_t> declared =
            archive_entry_size_is_set(entry)
                ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(
                      std::max<la_int64_t>(archive_entry_size(entry), 0)))
                : std::nullopt;
        for (DataBlock block; nextBlock(reader.get(), block);) {
            if (declared && (block.offset < 0 || block.size > *declared ||
                             static_cast<std::uint64_t>(block.offset) > *declared - block.size))
                throw std::runtime_error("Unable to read archive: " + textFromPath(name) + " (" +
                                         textFromPath(relative) + " holds more than the " +
                                         std::to_string(*declared) + " bytes its header declares)");
            // The offset goes through unchanged, so the writer leaves the holes of sparse entries.
            if (archive_write_data_block(writer.get(), block.bytes, block.size, block.offset) !=
                ARCHIVE_OK)
                throw std::runtime_error("Unable to write archive data");
            if (hashed) hashBlock(*hashing, hashedSize, block);
            reportRead(reader.get());
        }
        archive_write_finish_entry(writer.get());
        if (hashed) {
            if (archive_entry_size_is_set(entry))
                hashZeros(*hashing, hashedSize,
                          static_cast<std::uint64_t>(archive_entry_size(entry)));
            hashing->endStream();
        }
        if (recorded) {
            const bool isFolder = archive_entry_filetype(entry) == AE_IFDIR;
            written.push_back({relative.native(), hashed, isFolder, hashedSize, {}});
        }
        reportRead(reader.get());
    }
    if (!extracted) return;
    const std::vector<Sha256Digest> digests = hashing->takeDigests();
    std::size_t next = 0;
    for (ExtractedEntry& entry : written)
        if (entry.regularFile) entry.sha256 = digests.at(next++);
    *extracted = std::move(written);
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

std::uint64_t unpackedSize(const fs::path& archive) {
    ThreadUtf8Locale utf8Names;
    ArchiveReader reader = openSevenZip(archive, archive);
    std::uint64_t total = 0;
    while (archive_entry* entry = nextEntry(reader.get(), archive)) {
        if (archive_entry_filetype(entry) != AE_IFREG || !archive_entry_size_is_set(entry))
            continue;
        const auto size =
            static_cast<std::uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
        // A header may claim any size; a sum that wraps would read as room to spare.
        total = size > UINT64_MAX - total ? UINT64_MAX : total + size;
    }
    return total;
}
