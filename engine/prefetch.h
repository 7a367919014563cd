#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "transfer/content_check.h"
#include "transfer/download.h"

// The download of the modpak after the current one, running on a thread of its own while the
// current one unpacks and is recorded. It lands in a staging file of the root folder, out of the
// way of the next modpak's cleanup, and takes its real name only once that cleanup is done.
// Purely a head start: whatever goes wrong with it, the runner fetches the file as if it had never
// been started, so that messages, retries and what a failure leaves stay those of a plain fetch.
struct Prefetch {
    Prefetch() = default;
    // Cancels a download still running, waits for its thread and removes the staging files.
    ~Prefetch();
    Prefetch(const Prefetch&) = delete;
    Prefetch& operator=(const Prefetch&) = delete;

    std::size_t index = 0;  // of the modpak in the server's list
    std::string url;
    std::optional<ContentCheck> check;
    std::filesystem::path staged;
    std::atomic<bool> cancelled{false};

    std::mutex mutex;  // guards the members below, written on the download's thread
    const ByteProgress* watcher = nullptr;
    const RetryProgress* retryWatcher = nullptr;
    std::uint64_t received = 0;
    std::uint64_t total = 0;
    bool anyBytes = false;
    bool succeeded = false;

    std::thread worker;  // last: started once everything it reads is in place
};

// Removes the staging files that an interrupted run may have left in `rootDir`.
void removePrefetchLeftovers(const std::filesystem::path& rootDir);

// Starts downloading `url` (checked against `check`, when given) into the staging file.
std::unique_ptr<Prefetch> startPrefetch(const std::filesystem::path& rootDir, std::size_t index,
                                        std::string url, std::optional<ContentCheck> check);

// Waits for the download, telling `progress` (when given) of its bytes meanwhile, from those
// already in hand, and `retrying` of its retry waits from the next second on. When it succeeded,
// moves the file onto `destination`, as a finished download would have been, and returns true.
// Otherwise leaves nothing of it and returns false.
bool takePrefetched(Prefetch& prefetch, const std::filesystem::path& destination,
                    const ByteProgress* progress, const RetryProgress* retrying);

// The staging file when its download has already succeeded (it is complete and nothing writes to
// it any more); none while the download runs or after it failed.
std::optional<std::filesystem::path> finishedDownload(Prefetch& prefetch);
