#include "transfer/download.h"

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "transfer/background_sha256.h"
#include "transfer/content_check.h"
#include "transfer/download_seam.h"
#include "transfer/handles.h"
#include "transfer/paths.h"

namespace fs = std::filesystem;

namespace {

// A transfer that receives less than lowSpeedLimit bytes per second for lowSpeedTime seconds is
// abandoned, so a server that stops sending mid-body cannot hold a run for ever.
constexpr long lowSpeedLimit = 1;
constexpr long lowSpeedTime = 60;
// libcurl 7.88 follows redirects without limit unless told; newer versions stop at 30.
constexpr long maxRedirects = 30;
// Larger receive chunks and stdio buffer mean fewer write calls for large archives.
constexpr long receiveBufferSize = 512 * 1024;
constexpr std::size_t fileBufferSize = 1024 * 1024;

std::atomic<long> lowSpeedTimeOverride{0};
thread_local TransferLimits lastLimits;
std::mutex certificateAuthorityMutex;
fs::path certificateAuthorityOverride;

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
    const ContentCheck* check = nullptr;
    std::unique_ptr<BackgroundSha256> hash;  // only when a hash is expected
    std::uint64_t received = 0;
    bool overrun = false;
};

size_t writeCheckedBody(char* data, size_t size, size_t count, void* target) {
    auto& body = *static_cast<CheckedBody*>(target);
    const std::uint64_t bytes = static_cast<std::uint64_t>(size) * count;
    // Past the promised size the body is wrong whatever follows: a short count ends the
    // transfer now instead of after the rest of an oversized answer.
    if (body.check->size && bytes > *body.check->size - body.received) {
        body.overrun = true;
        return 0;
    }
    body.received += bytes;
    if (body.hash) body.hash->update(data, bytes);
    return std::fwrite(data, size, count, body.file);
}

}  // namespace

void setLowSpeedTimeForTesting(long seconds) { lowSpeedTimeOverride = seconds; }

TransferLimits lastTransferLimitsForTesting() { return lastLimits; }

void setCertificateAuthorityForTesting(const fs::path& caFile) {
    std::lock_guard<std::mutex> lock(certificateAuthorityMutex);
    certificateAuthorityOverride = caFile;
}

DownloadClient::DownloadClient() {
    if (curl_global_init(CURL_GLOBAL_ALL) != CURLE_OK)
        throw std::runtime_error("curl_global_init failed");
}

DownloadClient::~DownloadClient() { curl_global_cleanup(); }

void downloadFile(const std::string& url, const fs::path& destination, const ContentCheck* check) {
    fs::path partial = destination;
    partial += ".part";
    TransferLimits limits{lowSpeedLimit, lowSpeedTimeOverride.load(), maxRedirects};
    if (limits.lowSpeedTime <= 0) limits.lowSpeedTime = lowSpeedTime;
    lastLimits = limits;
    std::string caFile = textFromPath(certificateAuthority());
    CURLcode result = CURLE_OK;
    bool closed = false;
    // Made before the ".part" file, so that a hashing library that fails leaves nothing behind.
    std::unique_ptr<CheckedBody> checked = check ? std::make_unique<CheckedBody>() : nullptr;
    if (checked && !check->sha256.empty()) checked->hash = std::make_unique<BackgroundSha256>();
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
        // Created fresh, so a link planted under the ".part" name is never written through.
        File file = createFreshFile(partial);
        if (!file) throw std::runtime_error("Unable to create file: " + textFromPath(partial));
        // A refused buffer only costs speed, so the result is not judged.
        std::setvbuf(file.get(), nullptr, _IOFBF, fileBufferSize);

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
        if (checked) {
            checked->file = file.get();
            checked->check = check;
            curl_easy_setopt(handle, CURLOPT_WRITEDATA, checked.get());
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeCheckedBody);
        } else {
            curl_easy_setopt(handle, CURLOPT_WRITEDATA, file.get());
            curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, writeBody);
        }
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "nuvraupdater-cpp/6.0");
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        // Windows checks revocation too: a player whose network blocks the revocation servers
        // must not be refused for that alone (other TLS back ends ignore the option).
        curl_easy_setopt(handle, CURLOPT_SSL_OPTIONS,
                         static_cast<long>(CURLSSLOPT_REVOKE_BEST_EFFORT));
        if (!caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, caFile.c_str());
        result = curl_easy_perform(handle);
        closed = closeFile(file);
    }  // the header list and the handle are released here, before any result is judged
    if (checked && checked->overrun) {
        removeQuietly(partial);
        throw std::runtime_error(contentMismatch(*check, {checked->received, ""}, true));
    }
    if (result != CURLE_OK) {
        removeQuietly(partial);
        throw std::runtime_error("Download failed for " + url + ": " + curl_easy_strerror(result));
    }
    if (!closed) {
        removeQuietly(partial);
        throw std::runtime_error("Unable to finish writing downloaded file: " +
                                 textFromPath(partial));
    }
    if (checked) {
        ContentDigest received{checked->received, checked->hash ? checked->hash->finishHex() : ""};
        std::string mismatch = contentMismatch(*check, received, false);
        if (!mismatch.empty()) {
            removeQuietly(partial);
            throw std::runtime_error(mismatch);
        }
    }
    removeQuietly(destination);
    renameFile(partial, destination);
}
