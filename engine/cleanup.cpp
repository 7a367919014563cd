#include "engine/cleanup.h"

#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/paths.h"
#include "transfer/safe_path.h"

namespace fs = std::filesystem;

void cleanupModpak(const fs::path& rootDir, const std::vector<FileEntry>& fileEntries,
                   std::int32_t modPakNum) {
    const std::string number = std::to_string(modPakNum);
    for (const FileEntry& entry : fileEntries) {
        if (entry.modPakNum != modPakNum)
            continue;
        fs::path target = safeTargetPath(rootDir, entry.name, modPakNum);
        std::error_code code = entry.isDirectory ? removeTree(target) : removeEntry(target);
        if (code)
            throw std::runtime_error("Unable to delete " + textFromPath(target) + " for modpak " +
                                     number + ": " + errorDescription(code));
        EntryType left = entryType(target, code);
        if (code)
            throw std::runtime_error("Unable to verify deletion of " + textFromPath(target) +
                                     " for modpak " + number + ": " + errorDescription(code));
        if (left == EntryType::absent) continue;
        throw std::runtime_error("Deletion did not remove " + textFromPath(target) +
                                 " for modpak " + number);
    }
}

void refuseUnsafeCleanup(const fs::path& rootDir, const std::vector<FileEntry>& fileEntries,
                         std::int32_t modPakNum) {
    for (const FileEntry& entry : fileEntries)
        if (entry.modPakNum == modPakNum) safeTargetPath(rootDir, entry.name, modPakNum);
}
