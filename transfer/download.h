#pragma once
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

struct ContentCheck;

// Initialises libcurl for the whole process on construction and cleans it up on destruction;
// the run holds exactly one. Raises "curl_global_init failed". While one exists, downloads on
// any thread share one cache of open connections (and of name lookups and TLS sessions), so a
// run's files come over one connection instead of paying a handshake each.
struct DownloadClient {
    DownloadClient();
    ~DownloadClient();
    DownloadClient(const DownloadClient&) = delete;
    DownloadClient& operator=(const DownloadClient&) = delete;
};

// Told, on the downloading thread and often (many times a second), how many bytes of the file
// are in hand (those kept from an earlier attempt included) and how many it has in all (the
// promised size, else the server's Content-Length; 0 when neither is known).
using ByteProgress = std::function<void(std::uint64_t received, std::uint64_t total)>;

enum class BodyEncoding { asSent, compressed };

// Told, on the downloading thread, when a retry starts to wait and again as each second of the
// wait passes: what failed and when the next attempt comes, as a player reads it ("Server did
// not answer; retry in 2 s (attempt 2 of 3)").
using RetryProgress = std::function<void(const std::string& text)>;

// Downloads `url` (used unchanged) into "<destination>.part" and renames that over `destination`
// only after the transfer and the close both succeeded. On failure the destination is untouched
// and no ".part" file is left (except after a failed rename). Raises runtime_error
// "Download failed for <url>: <library text>", "Unable to create file: <part>", ...
// With a `check`, the body is counted and hashed as it arrives, a body running past the expected
// size is cut off at once, and the file takes its name only when it matches; otherwise the
// ".part" file is removed and contentMismatch's message raised (content_check.h).
// A transient failure (no connection, a broken or stalled transfer, HTTP 408, 429, 500, 502, 503
// or 504) is tried again, three attempts in all, after 1 s and 2 s or the server's Retry-After
// (at most 60 s), each retry noted on standard error and told to `retrying`; the last failure is
// raised. An attempt stalls when no byte of the body arrived within 30 s of its start, or, once
// bytes arrived, when less than a byte a second arrives for 60 s.
// With both a size and a hash in `check`, a ".part" file of ours (a regular file, never a link)
// is continued with a range request and kept after a transient failure; a server that answers
// with the whole file, or a continued file that fails its check, makes it start over from zero
// once.
// With BodyEncoding::compressed the server may compress the body in any encoding this libcurl
// was built to decode (none, or gzip and deflate with zlib), and the destination holds it decoded;
// with asSent nothing is asked for and the body is stored as it came (an archive does not compress,
// and a continued range must be the file's own bytes). An encoding the library cannot decode raises
// "Download failed for <url>: <library text>".
// Once `cancelled` turns true, the transfer or retry wait in progress ends within a fraction of
// a second, the ".part" file is removed (kept when it may be continued) and "Download cancelled
// for <url>" raised.
void downloadFile(const std::string& url, const std::filesystem::path& destination,
                  const ContentCheck* check = nullptr, const ByteProgress* progress = nullptr,
                  const std::atomic<bool>* cancelled = nullptr,
                  BodyEncoding encoding = BodyEncoding::asSent,
                  const RetryProgress* retrying = nullptr);

// downloadFile for a file the server may not have: false, with the destination untouched and
// no ".part" file left, when the server answers 404 or 410; every other failure raises as there.
bool downloadFileIfPresent(const std::string& url, const std::filesystem::path& destination,
                           const ContentCheck* check, BodyEncoding encoding);
