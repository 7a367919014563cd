#include "engine/installed_files.h"

#include <optional>
#include <utility>

#include "platform/paths.h"
#include "platform/sha256.h"
#include "transfer/safe_path.h"

namespace fs = std::filesystem;

InstalledRecord loadInstalledRecord(const fs::path& rootDir) {
    const fs::path path = rootDir / pathFromText(installedRecordFile);
    if (!fileExists(path)) return {};
    return readInstalledRecord(path);
}

void saveInstalledRecord(const fs::path& rootDir, const InstalledRecord& record) {
    writeInstalledRecord(rootDir / pathFromText(installedRecordFile), record);
}

std::string recordedServerName(const std::string& name) {
    const std::optional<fs::path> clean = cleanRelativeName(name);
    return clean ? recordedName(*clean) : std::string();
}

void forgetRetiredPaths(InstalledRecord& record, const std::vector<FileEntry>& fileEntries,
                        std::int32_t modPakNum) {
    for (const FileEntry& entry : fileEntries) {
        if (entry.modPakNum != modPakNum) continue;
        const std::string name = recordedServerName(entry.name);
        if (!name.empty()) forgetRecordedTree(record, name);
    }
}

void recordPlacedFile(InstalledRecord& record, const std::string& name, InstalledFile file) {
    if (name.empty()) return;
    forgetRecordedTree(record, name);
    record.files[name] = std::move(file);
}

void recordExtractedEntries(InstalledRecord& record, const std::deque<ExtractedEntry>& entries,
                            std::int32_t modPakNum) {
    for (const ExtractedEntry& entry : entries) {
        const std::string name = recordedNameOfNative(entry.name);
        if (name.empty() || name == ".") continue;
        if (!entry.regularFile) {
            // A folder entry keeps what is inside the folder; only a file of its name is gone.
            if (entry.folder)
                record.files.erase(name);
            else
                forgetRecordedTree(record, name);
            continue;
        }
        recordPlacedFile(record, name,
                         InstalledFile{entry.size, hexDigest(entry.sha256), modPakNum});
    }
}
