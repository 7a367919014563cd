#include "engine/prefetch.h"

#include <exception>
#include <utility>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

// Our own name in the root folder; a ".part" beside it while the download runs.
fs::path stagingPath(const fs::path& rootDir) {
    return rootDir / pathFromText("nuvraupdater.next");
}

fs::path withPartSuffix(fs::path path) {
    path += ".part";
    return path;
}

void removeStaged(const fs::path& staged) {
    removeQuietly(withPartSuffix(staged));
    removeQuietly(staged);
}

void download(Prefetch& prefetch) {
    const ByteProgress relay = [&prefetch](std::uint64_t received, std::uint64_t total) {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        prefetch.received = received;
        prefetch.total = total;
        prefetch.anyBytes = true;
        if (prefetch.watcher) (*prefetch.watcher)(received, total);
    };
    const RetryProgress retryRelay = [&prefetch](const std::string& text) {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        if (prefetch.retryWatcher) (*prefetch.retryWatcher)(text);
    };
    bool succeeded = false;
    try {
        downloadFile(prefetch.url, prefetch.staged, prefetch.check ? &*prefetch.check : nullptr,
                     &relay, &prefetch.cancelled, BodyEncoding::asSent, &retryRelay);
        succeeded = true;
    } catch (const std::exception&) {
        // The runner's own fetch meets the same trouble again and reports it in its place.
    }
    std::lock_guard<std::mutex> lock(prefetch.mutex);
    prefetch.succeeded = succeeded;
}

}  // namespace

Prefetch::~Prefetch() {
    cancelled = true;
    if (worker.joinable()) worker.join();
    removeStaged(staged);
}

void removePrefetchLeftovers(const fs::path& rootDir) { removeStaged(stagingPath(rootDir)); }

std::unique_ptr<Prefetch> startPrefetch(const fs::path& rootDir, std::size_t index,
                                        std::string url, std::optional<ContentCheck> check) {
    auto prefetch = std::make_unique<Prefetch>();
    prefetch->index = index;
    prefetch->url = std::move(url);
    prefetch->check = std::move(check);
    prefetch->staged = stagingPath(rootDir);
    // A part left by an interrupted run may belong to another modpak: never continue it.
    removeStaged(prefetch->staged);
    prefetch->worker = std::thread(download, std::ref(*prefetch));
    return prefetch;
}

bool takePrefetched(Prefetch& prefetch, const fs::path& destination, const ByteProgress* progress,
                    const RetryProgress* retrying) {
    {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        prefetch.watcher = progress;
        prefetch.retryWatcher = retrying;
        if (progress && prefetch.anyBytes) (*progress)(prefetch.received, prefetch.total);
    }
    prefetch.worker.join();
    {
        std::lock_guard<std::mutex> lock(prefetch.mutex);
        prefetch.watcher = nullptr;
        prefetch.retryWatcher = nullptr;
        if (!prefetch.succeeded) return false;
    }
    try {
        // What a finished download leaves: no part file beside the destination, and the
        // destination replaced.
        removeQuietly(withPartSuffix(destination));
        removeQuietly(destination);
        renameFile(prefetch.staged, destination);
        return true;
    } catch (const std::exception&) {
        removeStaged(prefetch.staged);
        return false;
    }
}

std::optional<fs::path> finishedDownload(Prefetch& prefetch) {
    std::lock_guard<std::mutex> lock(prefetch.mutex);
    if (!prefetch.succeeded) return std::nullopt;
    return prefetch.staged;
}
