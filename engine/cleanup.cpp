#include "engine/cleanup.h"

#include <filesystem>
#include <stdexcept>
#include <string>

#include "app/update_run.h"
#include "transfer/paths.h"
#include "transfer/safe_path.h"

namespace fs = std::filesystem;

void cleanupModpak(UpdateRun& run, std::int32_t modPakNum) {
    const std::string number = std::to_string(modPakNum);
    for (const FileEntry& entry : run.fileEntries) {
        if (entry.modPakNum != modPakNum)
            continue;
        fs::path target = safeTargetPath(run.rootDir, entry.name, modPakNum);
        std::error_code code;
        // Both forms remove a link itself; remove_all never descends through one.
        if (entry.isDirectory)
            fs::remove_all(target, code);
        else
            fs::remove(target, code);
        if (code)
            throw std::runtime_error("Unable to delete " + textFromPath(target) + " for modpak " +
                                     number + ": " + errorDescription(code));
        fs::file_status status = fs::status(target, code);
        if (status.type() == fs::file_type::not_found || (code && isAbsentError(code)))
            continue;
        if (code)
            throw std::runtime_error("Unable to verify deletion of " + textFromPath(target) +
                                     " for modpak " + number + ": " + errorDescription(code));
        throw std::runtime_error("Deletion did not remove " + textFromPath(target) +
                                 " for modpak " + number);
    }
}
