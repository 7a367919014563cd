#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "transfer/download.h"

struct ContentCheck;

// Puts the remote file into `destination`: copied from the local mirror folder `mirrorDir` (by
// the destination's last name component) when one was given, downloaded from `url` otherwise.
// Raises "Local source file not found: <path>", FileSystemError "exists"/"copy_file", or the
// download errors. With a `check`, the file is counted and hashed while it is downloaded or
// copied (through "<destination>.part") and takes its name only when it matches; otherwise no
// ".part" file is left, the destination is untouched and the mismatch raised (content_check.h).
// `progress` is told of a download's bytes and `retrying` of its retry waits, and `encoding` says
// whether a download may arrive compressed (downloadFile); a mirror's copy is taken as it lies.
void fetchFile(const std::optional<std::filesystem::path>& mirrorDir, const std::string& url,
               const std::filesystem::path& destination, const ContentCheck* check = nullptr,
               const ByteProgress* progress = nullptr, const RetryProgress* retrying = nullptr,
               BodyEncoding encoding = BodyEncoding::asSent);

// With a mirror folder, the file that fetchFile would copy to `destination`, found and checked
// (with `check`) where it lies, raising what fetchFile would raise for it; nothing changes in
// the destination's folder. Empty without a mirror folder, or when the source is not a regular
// file or is the destination itself (fetchFile then handles it).
std::optional<std::filesystem::path> sourceFileInPlace(
    const std::optional<std::filesystem::path>& mirrorDir, const std::filesystem::path& destination,
    const ContentCheck* check);

// fetchFile for a file the server may not have: false when the mirror folder holds no such file
// or the server answers 404 or 410 (downloadFileIfPresent); the destination is then removed, so
// that no copy from an earlier run stands in for it.
bool fetchFileIfPresent(const std::optional<std::filesystem::path>& mirrorDir,
                        const std::string& url, const std::filesystem::path& destination,
                        const ContentCheck* check, BodyEncoding encoding);
