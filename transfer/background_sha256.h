#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sha256.h"

// SHA-256 of a stream, computed on a second thread while the caller goes on receiving and writing
// the bytes, so that verifying a file costs little more wall time than storing it. update copies
// the bytes into one of a few buffers of its own, hands a buffer over only once it is full (a
// hand-over per network chunk would cost more than the hashing), and waits only when all of them
// are still queued for hashing. One worker can hash a run of streams one after the other (the
// entries of an archive, the files of a folder): endStream closes the current one, whose digest
// then waits in `digests` until takeDigests; a thread per file would cost more than hashing a
// small one. The end of a stream is only marked in the buffer being filled, so that small streams
// share a hand-over rather than wake the worker once each. takeDigests and finishHex raise
// runtime_error "Unable to compute SHA-256" when the library refused a step.
struct BackgroundSha256 {
    BackgroundSha256();
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256&) = delete;
    BackgroundSha256& operator=(const BackgroundSha256&) = delete;

    void update(const char* data, std::size_t size);
    // Ends the current stream without waiting; the next update starts a new one.
    void endStream();
    // The digests of the streams ended so far and not yet taken, in order, waiting for each
    // queued byte of them. Raises runtime_error "Unable to compute SHA-256".
    std::vector<Sha256Digest> takeDigests();
    // Waits for every queued byte; the digest as 64 lower-case hex digits. Once only.
    std::string finishHex();

    struct Block {
        std::unique_ptr<char[]> bytes;  // allocated when first filled: small files use one
        std::size_t size = 0;
        std::vector<std::size_t> streamEnds;  // offsets where a stream ended, in order
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Block> blocks;
    std::deque<std::size_t> queued;      // indexes of blocks to hash, in stream order
    std::vector<std::size_t> idle;       // indexes of blocks free to fill
    std::optional<std::size_t> filling;  // the block update is filling; the caller's alone
    std::size_t untaken = 0;             // streams ended and not yet taken; the caller's alone
    bool ended = false;
    bool failed = false;
    std::vector<Sha256Digest> digests;  // of the streams hashed, not yet taken
    std::optional<Sha256> hash;         // touched by the worker alone until it has been joined
    std::thread worker;
};
