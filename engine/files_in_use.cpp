#include "engine/files_in_use.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

#include "platform/paths.h"
#include "transfer/extract.h"
#include "transfer/safe_path.h"
#include "ui/notifications.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t namedFiles = 3;

// Only names that stay below the root: any other is refused by the cleanup or the unpacking.
bool staysBelow(const fs::path& name) {
    if (name.empty() || name.has_root_path()) return false;
    return std::none_of(name.begin(), name.end(),
                        [](const fs::path& part) { return part == ".."; });
}

std::string inUseText(const std::vector<fs::path>& held, std::int32_t modPakNum) {
    std::string text = "Files in use for modpak " + std::to_string(modPakNum) + ": ";
    for (std::size_t i = 0; i < held.size() && i < namedFiles; ++i)
        text += (i > 0 ? ", " : "") + textFromPath(held[i]);
    if (held.size() > namedFiles)
        text += " and " + std::to_string(held.size() - namedFiles) + " more";
    return text + ". Close the game, or whatever holds them, and try again.";
}

}  // namespace

bool refuseFilesInUse(const fs::path& rootDir, const std::vector<FileEntry>& fileEntries,
                      std::int32_t modPakNum, const fs::path* archive, ProgressWindow* window) {
    if (!openFilesBlockChanges()) return archive != nullptr;
    std::vector<fs::path> paths;
    for (const FileEntry& entry : fileEntries) {
        if (entry.modPakNum != modPakNum) continue;
        if (std::optional<fs::path> name = cleanRelativeName(entry.name))
            paths.push_back(rootDir / *name);
    }
    bool entriesRead = false;
    if (archive) {
        try {
            for (const fs::path& name : archiveEntryNames(*archive))
                if (staysBelow(name)) paths.push_back(rootDir / name);
            entriesRead = true;
        } catch (const std::exception&) {
            // Not here yet, or damaged: left to the fetch and the unpacking to report.
        }
    }
    for (;;) {
        const std::vector<fs::path> held = filesInUse(paths);
        if (held.empty()) return entriesRead;
        const std::string text = inUseText(held, modPakNum);
        if (!askRetry(window, text)) throw std::runtime_error(text);
    }
}
