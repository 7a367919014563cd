#pragma once
#include <filesystem>
#include <string>

struct ContentCheck;

// Initialises libcurl for the whole process on construction and cleans it up on destruction;
// the run holds exactly one. Raises "curl_global_init failed".
struct DownloadClient {
    DownloadClient();
    ~DownloadClient();
    DownloadClient(const DownloadClient&) = delete;
    DownloadClient& operator=(const DownloadClient&) = delete;
};

// Downloads `url` (used unchanged) into "<destination>.part" and renames that over `destination`
// only after the transfer and the close both succeeded. On failure the destination is untouched
// and no ".part" file is left (except after a failed rename). Raises runtime_error
// "Download failed for <url>: <library text>", "Unable to create file: <part>", ...
// With a `check`, the body is counted and hashed as it arrives, a body running past the expected
// size is cut off at once, and the file takes its name only when it matches; otherwise the
// ".part" file is removed and contentMismatch's message raised (content_check.h).
void downloadFile(const std::string& url, const std::filesystem::path& destination,
                  const ContentCheck* check = nullptr);
