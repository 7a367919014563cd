#include "transfer/restore_entries.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "platform/archive_names.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "transfer/seven_zip_reading.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t readSize = 256 * 1024;

void requireInside(const fs::path& folder, const fs::path& canonicalDestination,
                   const fs::path& target) {
    if (!isInsideFolder(weaklyCanonical(folder), canonicalDestination))
        throw std::runtime_error("Blocked archive entry outside destination: " +
                                 textFromPath(target));
}

// Writes the current entry's data to `staging`, zeros in its holes; its size and hash.
std::pair<std::uint64_t, std::string> writeEntry(archive* reader, archive_entry* entry,
                                                 const fs::path& staging,
                                                 const std::function<void()>& reportRead) {
    File file(createFreshFile(staging));
    if (!file) throw std::runtime_error("Unable to create file: " + textFromPath(staging));
    Sha256 hash;
    std::uint64_t written = 0;
    bool failed = false;
    static const char zeros[4096] = {};
    auto put = [&](const void* bytes, std::size_t size) {
        hash.update(bytes, size);
        if (std::fwrite(bytes, 1, size, file.get()) != size) failed = true;
        written += size;
    };
    auto fillTo = [&](std::uint64_t end) {
        while (written < end)
            put(zeros, static_cast<std::size_t>(std::min<std::uint64_t>(end - written, sizeof zeros)));
    };
    for (DataBlock block; nextBlock(reader, block);) {
        fillTo(static_cast<std::uint64_t>(block.offset));
        put(block.bytes, block.size);
        reportRead();
    }
    if (archive_entry_size_is_set(entry))
        fillTo(static_cast<std::uint64_t>(archive_entry_size(entry)));
    const bool closed = closeFile(file);
    if (failed || !closed) {
        removeQuietly(staging);
        throw std::runtime_error("Unable to write file: " + textFromPath(staging));
    }
    return {written, hash.finishHex()};
}

bool sameFileInPlace(const fs::path& target, std::uint64_t size, const std::string& sha256) {
    std::error_code code;
    if (entryType(target, code) != EntryType::file || code) return false;
    if (fs::file_size(target, code) != size || code) return false;
    return sha256OfFile(target) == sha256;
}

}  // namespace

std::vector<RestoredEntry> restoreEntries(const fs::path& archive, const fs::path& destination,
                                          const WantedEntry& wanted, const ByteProgress* progress,
                                          const fs::path* shownName) {
    const fs::path& name = shownName ? *shownName : archive;
    std::error_code sizeUnknown;
    const std::uintmax_t archiveSize = progress ? fs::file_size(archive, sizeUnknown) : 0;
    ThreadUtf8Locale utf8Names;
    ArchiveReader reader = openSevenZip(archive, name);
    auto reportRead = [&] {
        if (!progress || sizeUnknown) return;
        const la_int64_t read = archive_filter_bytes(reader.get(), -1);
        if (read >= 0)
            (*progress)(std::min<std::uint64_t>(static_cast<std::uint64_t>(read), archiveSize),
                        archiveSize);
    };
    const fs::path canonicalDestination = weaklyCanonical(destination);
    std::vector<RestoredEntry> restored;
    while (archive_entry* entry = nextEntry(reader.get(), name)) {
        const fs::path relative = archiveEntryPath(entry);
        if (relative.empty() || !relative.is_relative() ||
            archive_entry_filetype(entry) != AE_IFREG || archive_entry_hardlink(entry) != nullptr)
            continue;
        const std::optional<std::string> expected = wanted(relative);
        if (!expected) continue;
        const fs::path target = destination / relative;
        // Before the folders are made, so that none is made through a link that leads out, and
        // again after, for what stood between.
        requireInside(target.parent_path(), canonicalDestination, target);
        createDirectories(target.parent_path());
        requireInside(target.parent_path(), canonicalDestination, target);
        fs::path staging = target;
        staging += ".part";
        auto [size, sha256] = writeEntry(reader.get(), entry, staging, reportRead);
        RestoredEntry result{relative, size, sha256, RestoreOutcome::restored};
        if (!expected->empty() && *expected != sha256) {
            result.outcome = RestoreOutcome::refused;
            removeQuietly(staging);
        } else if (sameFileInPlace(target, size, sha256)) {
            result.outcome = RestoreOutcome::unchanged;
            removeQuietly(staging);
        } else {
            std::error_code ignored;  // a mode the system cannot take leaves the file's default
            fs::permissions(staging, static_cast<fs::perms>(archive_entry_perm(entry) & 07777),
                            ignored);
            renameFile(staging, target);
        }
        restored.push_back(std::move(result));
    }
    return restored;
}

std::optional<std::string> sha256OfFile(const fs::path& path) {
    File file(openFileForReading(path));
    if (!file) return std::nullopt;
    Sha256 hash;
    auto buffer = std::make_unique_for_overwrite<char[]>(readSize);
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, readSize, file.get());
        if (got > 0) hash.update(buffer.get(), got);
        if (got < readSize) break;
    }
    if (std::ferror(file.get())) return std::nullopt;
    return hash.finishHex();
}
