#include "transfer/content_check.h"

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "platform/paths.h"
#include "platform/sha256.h"
#include "transfer/background_sha256.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t copyBlockSize = 1024 * 1024;

bool sameDigest(const std::string& expected, const std::string& lowerHex) {
    if (expected.size() != lowerHex.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        char c = expected[i];
        if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerHex[i]) return false;
    }
    return true;
}

std::error_code lastErrorOr(std::errc fallback) {
    return errno != 0 ? std::error_code(errno, std::generic_category())
                      : std::make_error_code(fallback);
}

void requireMatch(const ContentCheck& check, const ContentDigest& digest) {
    std::string mismatch = contentMismatch(check, digest, false);
    if (!mismatch.empty()) throw ContentMismatch(mismatch);
}

}  // namespace

std::string contentMismatch(const ContentCheck& check, const ContentDigest& received,
                            bool overrun) {
    if (check.size && (overrun || received.size != *check.size))
        return "Size mismatch for " + check.subject + ": expected " + std::to_string(*check.size) +
               " bytes, received " +
               (overrun ? std::string("more") : std::to_string(received.size));
    if (!check.size && check.limit && (overrun || received.size > *check.limit))
        return "Refusing " + check.subject + ": larger than " + std::to_string(*check.limit) +
               " bytes";
    if (!check.sha256.empty() && !sameDigest(check.sha256, received.sha256))
        return "Checksum mismatch for " + check.subject;
    return "";
}

ContentDigest digestFile(const fs::path& path) {
    File file = openFileForReading(path);
    if (!file) throw FileSystemError("read", path, lastErrorOr(std::errc::io_error));
    Sha256 hash;
    ContentDigest digest;
    std::vector<char> block(copyBlockSize);
    for (;;) {
        std::size_t got = std::fread(block.data(), 1, block.size(), file.get());
        hash.update(block.data(), got);
        digest.size += got;
        if (got < block.size()) break;
    }
    if (std::ferror(file.get()))
        throw FileSystemError("read", path, lastErrorOr(std::errc::io_error));
    digest.sha256 = hash.finishHex();
    return digest;
}

void checkFileInPlace(const fs::path& file, const fs::path& destination,
                      const ContentCheck& check) {
    ContentDigest digest;
    if (const std::optional<std::uint64_t> most = mostBytes(check)) {
        std::error_code error;
        digest.size = fs::file_size(file, error);
        if (error) throw FileSystemError("copy_file", file, destination, error);
        // A shorter file is named with its size below; a longer one is never read.
        if (digest.size > *most) throw ContentMismatch(contentMismatch(check, {}, true));
        if (check.sha256.empty() || (check.size && digest.size < *check.size))
            return requireMatch(check, digest);
    }
    try {
        digest = digestFile(file);
    } catch (const FileSystemError& error) {
        throw FileSystemError("copy_file", file, destination, error.code());
    }
    requireMatch(check, digest);
}

ContentDigest copyFileChecked(const fs::path& source, const fs::path& destination,
                              const ContentCheck* check) {
    fs::path partial = destination;
    partial += ".part";
    auto copyError = [&](std::error_code code) {
        removeQuietly(partial);
        return FileSystemError("copy_file", source, destination, code);
    };
    // Before any file is opened: a failing library leaves nothing behind.
    BackgroundSha256 hash;
    errno = 0;
    File in = openFileForReading(source);
    if (!in)
        throw FileSystemError("copy_file", source, destination, lastErrorOr(std::errc::io_error));
    // Created fresh, so a link planted under the ".part" name is never written through.
    File out = createFreshFile(partial);
    if (!out) throw copyError(lastErrorOr(std::errc::io_error));

    ContentDigest copied;
    bool overrun = false;
    std::vector<char> block(copyBlockSize);
    for (;;) {
        std::size_t got = std::fread(block.data(), 1, block.size(), in.get());
        const std::optional<std::uint64_t> most = check ? mostBytes(*check) : std::nullopt;
        if (most && got > *most - copied.size) {
            overrun = true;  // more than promised or allowed: stop reading at once
            break;
        }
        // Hashed on the second core while this one writes the block.
        hash.update(block.data(), got);
        copied.size += got;
        if (got > 0 && std::fwrite(block.data(), 1, got, out.get()) != got)
            throw copyError(lastErrorOr(std::errc::io_error));
        if (got < block.size()) break;
    }
    if (std::ferror(in.get())) throw copyError(lastErrorOr(std::errc::io_error));
    if (!closeFile(out)) throw copyError(lastErrorOr(std::errc::io_error));
    copied.sha256 = hash.finishHex();
    if (check) {
        std::string mismatch = contentMismatch(*check, copied, overrun);
        if (!mismatch.empty()) {
            removeQuietly(partial);
            throw ContentMismatch(mismatch);
        }
    }
    removeQuietly(destination);
    renameFile(partial, destination);
    return copied;
}
