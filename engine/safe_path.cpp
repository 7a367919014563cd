#include "engine/safe_path.h"

#include <stdexcept>

#include "transfer/paths.h"

namespace fs = std::filesystem;

fs::path safeTargetPath(const fs::path& root, const std::string& name, std::int32_t modPakNum) {
    auto refuse = [&]() -> std::runtime_error {
        return std::runtime_error("Refusing unsafe path for modpak " + std::to_string(modPakNum) +
                                  ": " + name);
    };
    // A NUL would cut the name short in every system call.
    if (name.find('\0') != std::string::npos)
        throw refuse();
    fs::path relative = pathFromText(name);
    if (relative.has_root_path())
        throw refuse();
    fs::path cleaned;
    for (const fs::path& part : relative) {
        if (part == "..")
            throw refuse();
        if (part.empty() || part == ".")
            continue;
        // Windows would open a device, a stream or a shortened name instead of this file.
        if (isReservedOrAlteredName(part))
            throw refuse();
        cleaned /= part;
    }
    if (cleaned.empty())
        throw refuse();
    fs::path target = root / cleaned;
    if (!isInsideFolder(weaklyCanonical(target.parent_path()), weaklyCanonical(root)))
        throw refuse();
    return target;
}
