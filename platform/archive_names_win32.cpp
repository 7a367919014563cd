#include <archive.h>
#include <archive_entry.h>

#include "platform/archive_names.h"
#include "platform/paths_win32.h"

namespace fs = std::filesystem;

// 7-Zip stores names as UTF-16: the wide forms hand them over without passing through the ANSI
// code page, which would drop every character it lacks (a Greek name under 1252).
int openArchiveFile(archive* reader, const fs::path& file, std::size_t blockSize) {
    return archive_read_open_filename_w(reader, systemPath(file).c_str(), blockSize);
}

fs::path archiveEntryPath(archive_entry* entry) {
    const wchar_t* name = archive_entry_pathname_w(entry);
    return name ? fs::path(name) : fs::path();
}

void setArchiveEntryPath(archive_entry* entry, const fs::path& target) {
    archive_entry_copy_pathname_w(entry, target.c_str());
}
