#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

// What a fetched file must be before it may take its name. An absent size or an empty hash is
// not checked. `subject` names the file in messages ("modpak 5: m5.7z").
struct ContentCheck {
    std::optional<std::uint64_t> size;
    std::string sha256;  // 64 hex digits, either case
    std::string subject;
    std::optional<std::uint64_t> limit;  // without a size, the most the file may hold
};

// The most bytes the file may hold: its size, else its limit; none when neither is given.
inline std::optional<std::uint64_t> mostBytes(const ContentCheck& check) {
    return check.size ? check.size : check.limit;
}

// Only a file whose size and hash are known can be pieced together from several transfers:
// without them nothing would tell a continued file from a corrupted one.
inline bool allowsResume(const ContentCheck& check) { return check.size && !check.sha256.empty(); }

// What a file holds: its length and its SHA-256 as 64 lower-case hex digits.
struct ContentDigest {
    std::uint64_t size = 0;
    std::string sha256;
};

// A file that is not what its check says (its message is contentMismatch's), raised apart from
// the failures to read or write it, so that a caller may tell the two.
struct ContentMismatch : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The message for a file that fails `check`: "Size mismatch for <subject>: expected N bytes,
// received M" (or "received more" when `overrun`, the body having been cut off past the expected
// size), "Refusing <subject>: larger than <limit> bytes" past a limit, else "Checksum mismatch for
// <subject>"; empty when everything the check holds matches.
std::string contentMismatch(const ContentCheck& check, const ContentDigest& received, bool overrun);

// The size and SHA-256 of a file, read whole. Raises FileSystemError "read" naming it.
ContentDigest digestFile(const std::filesystem::path& path);

// Checks a file where it lies, as copyFileChecked would check its copy (a file longer than the
// expected size fails without being read). Raises runtime_error with contentMismatch's message,
// or FileSystemError "copy_file" naming the file and `destination` when it cannot be read.
void checkFileInPlace(const std::filesystem::path& file, const std::filesystem::path& destination,
                      const ContentCheck& check);

// Copies `source` into "<destination>.part" (created fresh, synced), counting and hashing while
// it copies, then, when `check` is given, verifies the copy (a source longer than the expected
// size is cut off at once) and only then renames it over `destination`. On failure the
// destination is untouched and no ".part" file is left. Raises FileSystemError "copy_file"
// naming source and destination, or runtime_error with contentMismatch's message. Returns what was
// copied.
ContentDigest copyFileChecked(const std::filesystem::path& source,
                              const std::filesystem::path& destination, const ContentCheck* check);
