#include "transfer/fetch.h"

#include <stdexcept>
#include <system_error>

#include "platform/paths.h"
#include "transfer/content_check.h"
#include "transfer/download.h"

namespace fs = std::filesystem;

namespace {

// The mirror is flat: only the last component of the name is looked up in it.
fs::path sourceFile(const fs::path& mirrorDir, const fs::path& destination) {
    fs::path source = mirrorDir / destination.filename();
    if (!fileExists(source))
        throw std::runtime_error("Local source file not found: " + textFromPath(source));
    return source;
}

bool isSameFile(const fs::path& source, const fs::path& destination) {
    std::error_code ignored;
    return fs::equivalent(source, destination, ignored);
}

}  // namespace

void fetchFile(const std::optional<fs::path>& mirrorDir, const std::string& url,
               const fs::path& destination, const ContentCheck* check, const ByteProgress* progress,
               const RetryProgress* retrying, BodyEncoding encoding) {
    if (!mirrorDir) {
        downloadFile(url, destination, check, progress, nullptr, encoding, retrying);
        return;
    }
    fs::path source = sourceFile(*mirrorDir, destination);
    // With the mirror in the destination's own folder both name one file; removing the
    // destination before the copy would destroy the only copy.
    if (isSameFile(source, destination)) {
        if (check) checkFileInPlace(source, destination, *check);
        return;
    }
    if (check) {
        copyFileChecked(source, destination, check);
        return;
    }
    removeQuietly(destination);
    copyFile(source, destination);
}

std::optional<fs::path> sourceFileInPlace(const std::optional<fs::path>& mirrorDir,
                                          const fs::path& destination, const ContentCheck* check) {
    if (!mirrorDir) return std::nullopt;
    fs::path source = sourceFile(*mirrorDir, destination);
    // Anything but a regular file (a folder, a FIFO) is left to the copy and its errors.
    std::error_code notRegular;
    if (isSameFile(source, destination) || !fs::is_regular_file(source, notRegular))
        return std::nullopt;
    if (check) checkFileInPlace(source, destination, *check);
    return source;
}

bool fetchFileIfPresent(const std::optional<fs::path>& mirrorDir, const std::string& url,
                        const fs::path& destination, const ContentCheck* check,
                        BodyEncoding encoding) {
    const bool present = mirrorDir ? fileExists(*mirrorDir / destination.filename())
                                   : downloadFileIfPresent(url, destination, check, encoding);
    if (!present) {
        removeQuietly(destination);
        return false;
    }
    if (mirrorDir) fetchFile(mirrorDir, url, destination, check, nullptr, nullptr, encoding);
    return true;
}
