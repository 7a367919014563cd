#include "transfer/download.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "platform/version.h"
#include "transfer/background_sha256.h"
#include "transfer/content_check.h"
#include "transfer/download_seam.h"
#include "transfer/handles.h"

namespace fs = std::filesystem;

namespace {

// "nuvraupdater-cpp/6.0": the version as written, with ".0" kept for a whole number.
std::string userAgent() {
    char digits[32];
    const auto [end, error] = std::to_chars(digits, digits + sizeof digits, updaterVersion);
    std::string version(digits, error == std::errc() ? end : digits);
    if (version.find('.') == std::string::npos) version += ".0";
    return "nuvraupdater-cpp/" + version;
}

// A transfer that receives less than lowSpeedLimit bytes per second for lowSpeedTime seconds is
// abandoned, so a server that stops sending mid-body cannot hold a run for ever.
constexpr long lowSpeedLimit = 1;
constexpr long lowSpeedTime = 60;
// An attempt whose body has not begun this long after it started is given up sooner: a server
// that never answers then ends a run in well under two minutes, all attempts and waits included.
constexpr long firstByteTime = 30;
// libcurl 7.88 follows redirects without limit unless told; newer versions stop at 30.
constexpr long maxRedirects = 30;
// Larger receive chunks and stdio buffer mean fewer write calls for large archives.
constexpr long receiveBufferSize = 512 * 1024;
constexpr std::size_t fileBufferSize = 1024 * 1024;

// Transient failures are tried again, three attempts in all, after these many seconds (the
// server's Retry-After instead, when it gives one, up to a minute).
constexpr int maxAttempts = 3;
constexpr long retryWaits[] = {1, 2, 4};
constexpr long longestRetryAfter = 60;

std::atomic<long> lowSpeedTimeOverride{0};
std::atomic<long> firstByteTimeOverride{0};
std::atomic<long> retrySecondMilliseconds{1000};
thread_local TransferLimits lastLimits;
thread_local std::vector<long> lastRetryWaits;
std::mutex certificateAuthorityMutex;
fs::path certificateAuthorityOverride;

// The connection cache of the live DownloadClient(s), shared by the transfers of every thread.
struct SharedCache {
    std::mutex clients;  // guards `users` and `share`
    int users = 0;
    CurlShare share;
    std::mutex locks[CURL_LOCK_DATA_LAST];
};
SharedCache sharedCache;

void lockShared(CURL*, curl_lock_data data, curl_lock_access, void* cache) {
    static_cast<SharedCache*>(cache)->locks[data].lock();
}

void unlockShared(CURL*, curl_lock_data data, void* cache) {
    static_cast<SharedCache*>(cache)->locks[data].unlock();
}

CurlShare makeShare() {
    CurlShare share(curl_share_init());
    if (!share) return share;
    // Without a cache the transfers still work, one connection each: no result is judged.
    curl_share_setopt(share.get(), CURLSHOPT_LOCKFUNC, lockShared);
    curl_share_setopt(share.get(), CURLSHOPT_UNLOCKFUNC, unlockShared);
    curl_share_setopt(share.get(), CURLSHOPT_USERDATA, &sharedCache);
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    return share;
}

CURLSH* currentShare() {
    std::lock_guard<std::mutex> lock(sharedCache.clients);
    return sharedCache.share.get();
}

fs::path certificateAuthority() {
    std::lock_guard<std::mutex> lock(certificateAuthorityMutex);
    return certificateAuthorityOverride;
}

size_t writeBody(char* data, size_t size, size_t count, void* file) {
    return std::fwrite(data, size, count, static_cast<std::FILE*>(file));
}

// The body of a checked download, counted chunk by chunk as it arrives and hashed beside the
// transfer on a second thread.
struct CheckedBody {
    std::FILE* file = nullptr;
    std::uint64_t resumedFrom = 0;  // bytes kept from an earlier attempt, counted in `received`
    const ContentCheck* check = nullptr;
    std::unique_ptr<BackgroundSha256> hash;  // only when a hash is expected
    std::uint64_t received = 0;
    bool overrun = false;
};

size_t writeCheckedBody(char* data, size_t size, size_t count, void* target) {
    auto& body = *static_cast<CheckedBody*>(target);
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    // Past the promised size (or the limit) the body is wrong whatever follows: a short count
    // ends the transfer now instead of after the rest of an oversized answer.
    const std::optional<std::uint64_t> most = mostBytes(*body.check);
    if (most && bytes > *most - body.received) {
        body.overrun = true;
        return 0;
    }
    body.received += bytes;
    if (body.hash) body.hash->update(data, bytes);
    return std::fwrite(data, size, count, body.file);
}

struct ProgressTarget {
    const ByteProgress* report = nullptr;
    const std::atomic<bool>* cancelled = nullptr;
    std::uint64_t resumedFrom = 0;
    std::uint64_t expected = 0;  // the promised size; 0 when none was promised
    std::chrono::steady_clock::time_point firstByteDeadline;
    bool anyBytes = false;
    bool noAnswer = false;  // given up before the first byte of the body
};

int reportTransfer(void* target, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
    auto& progress = *static_cast<ProgressTarget*>(target);
    if (progress.cancelled && *progress.cancelled) return 1;  // aborts the transfer
    // The library's own stall guard cannot tell a silent server from a stalled body, so the
    // shorter wait for the first byte is kept here.
    if (now > 0) {
        progress.anyBytes = true;
    } else if (std::chrono::steady_clock::now() >= progress.firstByteDeadline) {
        progress.noAnswer = true;
        return 1;
    }
    if (!progress.report) return 0;
    std::uint64_t whole = progress.expected;
    if (whole == 0 && total > 0) whole = progress.resumedFrom + static_cast<std::uint64_t>(total);
    (*progress.report)(progress.resumedFrom + static_cast<std::uint64_t>(now), whole);
    return 0;
}

// What one attempt ended with.
struct Attempt {
    CURLcode result = CURLE_OK;
    long status = 0;       // the HTTP status, 0 when none arrived
    long retryAfter = -1;  // seconds, -1 when the server gave none
    bool closed = false;
    bool overrun = false;
    bool anyBytes = false;  // of the body, in this attempt
    std::uint64_t resumedFrom = 0;
    ContentDigest received;
};

// A failure that another attempt may cure: the network, a stalled or broken transfer, or a
// server that says it is busy. A refused certificate, another 4xx status or a local write error
// would fail the same way again.
bool isTransient(const Attempt& attempt) {
    switch (attempt.result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
        case CURLE_OPERATION_TIMEDOUT:
        case CURLE_PARTIAL_FILE:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_GOT_NOTHING:
        case CURLE_HTTP2:
        case CURLE_HTTP2_STREAM:
            return true;
        case CURLE_HTTP_RETURNED_ERROR:
            return attempt.status == 408 || attempt.status == 429 || attempt.status == 500 ||
                   attempt.status == 502 || attempt.status == 503 || attempt.status == 504;
        default:
            return false;
    }
}

std::string failureText(const std::string& url, const Attempt& attempt) {
    return "Download failed for " + url + ": " + curl_easy_strerror(attempt.result);
}

// Short enough for the progress bar's label: the window shows it while the retry waits.
std::string retryText(const Attempt& attempt, long secondsLeft, int nextAttempt) {
    std::string failed;
    switch (attempt.result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            failed = "Server not reachable";
            break;
        case CURLE_OPERATION_TIMEDOUT:
            failed = attempt.anyBytes ? "Transfer stalled" : "Server did not answer";
            break;
        case CURLE_HTTP_RETURNED_ERROR:
            failed = "Server said HTTP " + std::to_string(attempt.status);
            break;
        default:
            failed = "Connection lost";
            break;
    }
    return failed + "; retry in " + std::to_string(secondsLeft) + " s (attempt " +
           std::to_string(nextAttempt) + " of " + std::to_string(maxAttempts) + ")";
}

// Opens the ".part" file an attempt writes to. A resumable download continues a partial file of
// ours (its bytes are hashed again first, so the whole file is verified at the end); anything
// else, or a partial file longer than promised, is replaced by a fresh one.
File openPartial(const fs::path& partial, bool resumable, const ContentCheck* check,
                 CheckedBody* checked) {
    if (resumable) {
        File kept = openOwnPartialFile(partial);
        if (kept) {
            std::vector<char> buffer(fileBufferSize);
            std::uint64_t size = 0;
            std::size_t got = 0;
            while (size <= *check->size &&
                   (got = std::fread(buffer.data(), 1, buffer.size(), kept.get())) > 0) {
                checked->hash->update(buffer.data(), got);
                size += got;
            }
            // Reading and appending share the stream: a seek must come between them.
            if (size <= *check->size && !std::ferror(kept.get()) &&
                std::fseek(kept.get(), 0, SEEK_END) == 0) {
                checked->resumedFrom = size;
                checked->received = size;
                return kept;
            }
            kept.reset();
            checked->hash = std::make_unique<BackgroundSha256>();
        }
    }
    return createFreshFile(partial);
}

Attempt transferOnce(const std::string& url, const fs::path& partial, const ContentCheck* check,
                     bool resumable, const ByteProgress* progress,
                     const std::atomic<bool>* cancelled, const TransferLimits& limits,
                     const std::string& caFile, BodyEncoding encoding) {
    Attempt attempt;
    // Made before the ".part" file, so that a hashing library that fails leaves nothing behind.
    std::unique_ptr<CheckedBody> checked = check ? std::make_unique<CheckedBody>() : nullptr;
    if (checked && !check->sha256.empty()) checked->hash = std::make_unique<BackgroundSha256>();
    ProgressTarget progressTarget;
    progressTarget.report = progress;
    progressTarget.cancelled = cancelled;
    progressTarget.expected = check && check->size ? *check->size : 0;
    progressTarget.firstByteDeadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(limits.firstByteTime);
    {
        CurlEasy curl(curl_easy_init());
        if (!curl) throw std::runtime_error("Unable to initialize CURL");
        CurlList headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
        if (!headers) throw std::runtime_error("Unable to create HTTP request headers");
        // On failure curl_slist_append returns null and leaves the list as it was.
        curl_slist* extended = curl_slist_append(headers.get(), "Pragma: no-cache");
        if (!extended) throw std::runtime_error("Unable to create HTTP request headers");
        headers.release();
        headers.reset(extended);
        // A fresh file is created anew, so a link planted under the ".part" name is never
        // written through; a kept one was opened without following links.
        File file = openPartial(partial, resumable, check, checked.get());
        if (!file) throw std::runtime_error("Unable to create file: " + textFromPath(partial));
        // A refused buffer only costs speed, so the result is not judged.
        std::setvbuf(file.get(), nullptr, _IOFBF, fileBufferSize);
        if (checked) attempt.resumedFrom = checked->resumedFrom;
        progressTarget.resumedFrom = attempt.resumedFrom;

        CURL* handle = curl.get();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(handle, CURLOPT_MAXREDIRS, limits.maxRedirects);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 10L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT, 0L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, limits.lowSpeedLimit);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, limits.lowSpeedTime);
        curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
        curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, receiveBufferSize);
        if (attempt.resumedFrom > 0)
            curl_easy_setopt(handle, CURLOPT_RESUME_FROM_LARGE,
                             static_cast<curl_off_t>(attempt.resumedFrom));
        if (checked) {
            checked->file = file.get();
            checked->check = check;
            curl_easy_setopt(handle, CURLOPT_WRITEDATA, checked.get());
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeCheckedBody);
        } else {
            curl_easy_setopt(handle, CURLOPT_WRITEDATA, file.get());
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
        }
        if (CURLSH* share = currentShare()) curl_easy_setopt(handle, CURLOPT_SHARE, share);
        curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &progressTarget);
        curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, reportTransfer);
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, userAgent().c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        // "" offers every decoder the library was built with, and only those.
        if (encoding == BodyEncoding::compressed)
            curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, "");
        // Windows checks revocation too: a player whose network blocks the revocation servers
        // must not be refused for that alone (other TLS back ends ignore the option).
        curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS,
                         static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
        if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
        // A part that already holds every promised byte needs no request (a server answers
        // a range past the end with 416, which the library reports as a refused range).
        const bool complete = check && check->size && attempt.resumedFrom == *check->size;
        attempt.result = complete ? CURLE_OK : curl_easy_perform(handle);
        // Given up for want of a first byte, the attempt failed as a stall does.
        if (attempt.result == CURLE_ABORTED_BY_CALLBACK && progressTarget.noAnswer)
            attempt.result = CURLE_OPERATION_TIMEDOUT;
        attempt.anyBytes = progressTarget.anyBytes;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &attempt.status);
        curl_off_t retryAfter = 0;
        if (curl_easy_getinfo(handle, CURLINFO_RETRY_AFTER, &retryAfter) == CURLE_OK &&
            retryAfter > 0)
            attempt.retryAfter = static_cast<long>(std::min<curl_off_t>(retryAfter, 1L << 30));
        attempt.closed = closeFile(file);
    }  // the header list and the handle are released here, before any result is judged
    if (checked) {
        attempt.overrun = checked->overrun;
        attempt.received.size = checked->received;
        // Only a finished body is worth its hash; the thread is stopped either way.
        std::string hex = checked->hash ? checked->hash->finishHex() : "";
        if (attempt.result == CURLE_OK && !attempt.overrun) attempt.received.sha256 = hex;
    }
    return attempt;
}

// False when the wait was cut short by `cancelled`. `retrying` hears the seconds left, counted
// down.
bool waitBeforeRetry(long seconds, const std::atomic<bool>* cancelled,
                     const std::function<void(long secondsLeft)>& retrying) {
    lastRetryWaits.push_back(seconds);
    const std::chrono::milliseconds second(retrySecondMilliseconds.load());
    const auto end = std::chrono::steady_clock::now() + seconds * second;
    constexpr auto slice = std::chrono::milliseconds(50);
    // The whole wait is told first, however late this thread gets to look at the clock.
    retrying(seconds);
    long told = seconds;
    while (!(cancelled && *cancelled)) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return true;
        const long left =
            static_cast<long>((end - now + second - std::chrono::nanoseconds(1)) / second);
        if (left < told) {
            retrying(left);
            told = left;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(slice, end - now));
    }
    return false;
}

}  // namespace

void setLowSpeedTimeForTesting(long seconds) { lowSpeedTimeOverride = seconds; }

void setFirstByteTimeForTesting(long seconds) { firstByteTimeOverride = seconds; }

TransferLimits lastTransferLimitsForTesting() { return lastLimits; }

void setRetrySecondForTesting(long milliseconds) {
    retrySecondMilliseconds = milliseconds > 0 ? milliseconds : 1000;
}

std::vector<long> lastRetryWaitsForTesting() { return lastRetryWaits; }

void setCertificateAuthorityForTesting(const fs::path& caFile) {
    std::lock_guard<std::mutex> lock(certificateAuthorityMutex);
    certificateAuthorityOverride = caFile;
}

DownloadClient::DownloadClient() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
        throw std::runtime_error("curl_global_init failed");
    std::lock_guard<std::mutex> lock(sharedCache.clients);
    if (sharedCache.users++ == 0) sharedCache.share = makeShare();
}

DownloadClient::~DownloadClient() {
    {
        std::lock_guard<std::mutex> lock(sharedCache.clients);
        // Every transfer has ended by now: each one lives inside a downloadFile call.
        if (--sharedCache.users == 0) sharedCache.share.reset();
    }
    curl_global_cleanup();
}

namespace {

// False, with nothing left behind, when `mayBeAbsent` and the server says the file is not there.
bool download(const std::string& url, const fs::path& destination, const ContentCheck* check,
              const ByteProgress* progress, const std::atomic<bool>* cancelled,
              BodyEncoding encoding, const RetryProgress* retrying, bool mayBeAbsent) {
    fs::path partial = destination;
    partial += ".part";
    TransferLimits limits{lowSpeedLimit, lowSpeedTimeOverride.load(), firstByteTimeOverride.load(),
                          maxRedirects};
    if (limits.lowSpeedTime <= 0) limits.lowSpeedTime = lowSpeedTime;
    if (limits.firstByteTime <= 0) limits.firstByteTime = firstByteTime;
    lastLimits = limits;
    lastRetryWaits.clear();
    std::string caFile = textFromPath(certificateAuthority());
    const bool resumable = check && allowsResume(*check);
    bool startedOver = false;
    int attempts = 0;
    for (;;) {
        Attempt attempt = transferOnce(url, partial, check, resumable, progress, cancelled, limits,
                                       caFile, encoding);
        // What a resumable download received is kept for whichever attempt comes next.
        if (cancelled && *cancelled) {
            if (!resumable) removeQuietly(partial);
            throw std::runtime_error("Download cancelled for " + url);
        }
        // A continued file that turns out wrong (too long, a bad byte, a server that cannot
        // answer ranges) is thrown away and fetched once more from its first byte.
        const bool resumed = attempt.resumedFrom > 0;
        const bool rangeRefused =
            attempt.result == CURLE_RANGE_ERROR ||
            (attempt.result == CURLE_HTTP_RETURNED_ERROR && attempt.status == 416);
        if (attempt.overrun) {
            removeQuietly(partial);
            if (resumed && !startedOver) {
                startedOver = true;
                continue;
            }
            throw ContentMismatch(contentMismatch(*check, attempt.received, true));
        }
        if (resumed && rangeRefused) {
            removeQuietly(partial);
            continue;
        }
        if (mayBeAbsent && attempt.result == CURLE_HTTP_RETURNED_ERROR &&
            (attempt.status == 404 || attempt.status == 410)) {
            removeQuietly(partial);
            return false;
        }
        if (attempt.result != CURLE_OK) {
            ++attempts;
            const bool again = isTransient(attempt) && attempts < maxAttempts;
            // A resumable file keeps what it received, for the next attempt or the next run.
            if (!resumable || !isTransient(attempt)) removeQuietly(partial);
            if (!again) throw std::runtime_error(failureText(url, attempt));
            long wait = retryWaits[attempts - 1];
            if (attempt.retryAfter >= 0) wait = std::min(attempt.retryAfter, longestRetryAfter);
            std::string note = failureText(url, attempt) + "; trying again in " +
                               std::to_string(wait) + " s\n";
            std::fwrite(note.data(), 1, note.size(), stderr);
            std::fflush(stderr);
            const auto countdown = [&](long secondsLeft) {
                if (retrying) (*retrying)(retryText(attempt, secondsLeft, attempts + 1));
            };
            if (!waitBeforeRetry(wait, cancelled, countdown)) {
                if (!resumable) removeQuietly(partial);
                throw std::runtime_error("Download cancelled for " + url);
            }
            continue;
        }
        if (!attempt.closed) {
            removeQuietly(partial);
            throw std::runtime_error("Unable to finish writing downloaded file: " +
                                     textFromPath(partial));
        }
        if (check) {
            std::string mismatch = contentMismatch(*check, attempt.received, false);
            if (!mismatch.empty()) {
                removeQuietly(partial);
                if (resumed && !startedOver) {
                    startedOver = true;
                    continue;
                }
                throw ContentMismatch(mismatch);
            }
        }
        break;
    }
    removeQuietly(destination);
    renameFile(partial, destination);
    return true;
}

}  // namespace

void downloadFile(const std::string& url, const fs::path& destination, const ContentCheck* check,
                  const ByteProgress* progress, const std::atomic<bool>* cancelled,
                  BodyEncoding encoding, const RetryProgress* retrying) {
    download(url, destination, check, progress, cancelled, encoding, retrying, false);
}

bool downloadFileIfPresent(const std::string& url, const fs::path& destination,
                           const ContentCheck* check, BodyEncoding encoding) {
    return download(url, destination, check, nullptr, nullptr, encoding, nullptr, true);
}
