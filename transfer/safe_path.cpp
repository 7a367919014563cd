#include "transfer/safe_path.h"

#include <stdexcept>

#include "platform/paths.h"

namespace fs = std::filesystem;

std::optional<fs::path> cleanRelativeName(const std::string& name) {
    // A NUL would cut the name short in every system call.
    if (name.find('\0') != std::string::npos) return std::nullopt;
    fs::path relative = pathFromText(name);
    // No system takes a longer path (Windows counts 32,767 UTF-16 units at most), and walking one
    // of, say, half a million folders one system call at a time would keep the run busy for long.
    if (relative.native().size() > longestPathName) return std::nullopt;
    if (relative.has_root_path()) return std::nullopt;
    fs::path cleaned;
    for (const fs::path& part : relative) {
        if (part == "..") return std::nullopt;
        if (part.empty() || part == ".") continue;
        // Windows would open a device, a stream or a shortened name instead of this file.
        if (isReservedOrAlteredName(part)) return std::nullopt;
        cleaned /= part;
    }
    if (cleaned.empty()) return std::nullopt;
    return cleaned;
}

fs::path safeTargetPath(const fs::path& root, const std::string& name, std::int32_t modPakNum) {
    auto refuse = [&]() -> std::runtime_error {
        return std::runtime_error("Refusing unsafe path for modpak " + std::to_string(modPakNum) +
                                  ": " + name);
    };
    std::optional<fs::path> cleaned = cleanRelativeName(name);
    if (!cleaned) throw refuse();
    fs::path target = root / *cleaned;
    if (!isInsideFolder(weaklyCanonical(target.parent_path()), weaklyCanonical(root)))
        throw refuse();
    return target;
}
