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
#include <vector>

#include "transfer/content_check.h"
#include "transfer/download.h"

// A modpak's download lands in a staging file of the root folder, out of reach of its cleanup,
// and takes its real name only once the file is whole, checked and known to fit, and the cleanup
// is done. A download promised by size and hash is staged under a name that carries the hash
// ("nuvraupdater-<sha256>"), so that its ".part" is continued by whichever attempt or run fetches
// that file next, and a part never meets a file it was not made for; any other download is staged
// as "nuvraupdater.next" and never continued.
std::filesystem::path stagingPathFor(const std::filesystem::path& rootDir,
                                     const std::optional<ContentCheck>& check);

// Whether a download under `check` may be pieced together from several transfers.
bool isResumable(const std::optional<ContentCheck>& check);

// Removes the staging files that an earlier run left in `rootDir`, except the parts of the
// downloads that one of `pending` may continue, which are kept; a whole staged file of such a
// download becomes its part again, to be checked before it is used.
void removeStagingLeftovers(const std::filesystem::path& rootDir,
                            const std::vector<ContentCheck>& pending);

// The download of the modpak after the current one, running on a thread of its own while the
// current one unpacks and is recorded, into that modpak's staging file. Purely a head start:
// whatever goes wrong with it, the runner downloads the file in its turn as if it had never been
// started (continuing what it kept), so that messages, retries and what a failure leaves stay
// those of a plain fetch.
struct Prefetch {
    Prefetch() = default;
    // Cancels a download still running and waits for its thread. What it staged and did not hand
    // over is removed unless it may be continued.
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
    bool taken = false;  // the staged file is the runner's from now on

    std::thread worker;  // last: started once everything it reads is in place
};

// Starts downloading `url` (checked against `check`, when given) into the modpak's staging file.
std::unique_ptr<Prefetch> startPrefetch(const std::filesystem::path& rootDir, std::size_t index,
                                        std::string url, std::optional<ContentCheck> check);

// Waits for the download, telling `progress` (when given) of its bytes meanwhile, from those
// already in hand, and `retrying` of its retry waits from the next second on. True when the
// staged file is whole and checked, and then the caller's; otherwise only a part that may be
// continued is left of it.
bool takePrefetched(Prefetch& prefetch, const ByteProgress* progress,
                    const RetryProgress* retrying);
