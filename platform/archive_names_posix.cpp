#include <archive.h>
#include <archive_entry.h>

#include <string>

#include "platform/archive_names.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

int openArchiveFile(archive* reader, const fs::path& file, std::size_t blockSize) {
    return archive_read_open_filename(reader, textFromPath(file).c_str(), blockSize);
}

fs::path archiveEntryPath(archive_entry* entry) {
    const char* name = archive_entry_pathname(entry);
    return pathFromText(name ? name : "");
}

void setArchiveEntryPath(archive_entry* entry, const fs::path& target) {
    archive_entry_set_pathname(entry, textFromPath(target).c_str());
    // The writer takes a link's target in the thread's character set; setting it again from the
    // UTF-8 form keeps targets outside ASCII as the archive spells them.
    if (archive_entry_filetype(entry) == AE_IFLNK) {
        const char* linkTarget = archive_entry_symlink_utf8(entry);
        if (linkTarget) archive_entry_set_symlink(entry, std::string(linkTarget).c_str());
    }
}
