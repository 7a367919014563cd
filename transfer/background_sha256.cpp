#include "transfer/background_sha256.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <utility>

namespace {

// Large enough that a block costs far more to hash than to hand over, and few enough to bound
// the memory a verified transfer takes.
constexpr std::size_t blockSize = 256 * 1024;
constexpr std::size_t blockCount = 4;

void queueBlock(BackgroundSha256& state, std::optional<std::size_t> index, bool endsStream) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queued.push_back({index, endsStream});
    }
    state.changed.notify_all();
}

void hashQueuedBlocks(BackgroundSha256& state) {
    for (;;) {
        BackgroundSha256::Queued next;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.changed.wait(lock, [&] { return !state.queued.empty() || state.ended; });
            if (state.queued.empty()) return;
            next = state.queued.front();
            state.queued.pop_front();
        }
        bool hashed = true;
        std::string digest;
        try {
            if (!state.hash) state.hash.emplace();
            if (next.block) {
                BackgroundSha256::Block& block = state.blocks[*next.block];
                state.hash->update(block.bytes.get(), block.size);
            }
            if (next.endsStream) {
                digest = state.hash->finishHex();
                state.hash.reset();
            }
        } catch (const std::exception&) {
            hashed = false;  // reported by finishHex; the stream itself goes on
            state.hash.reset();
        }
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (!hashed) state.failed = true;
            if (next.block) {
                state.blocks[*next.block].size = 0;
                state.idle.push_back(*next.block);
            }
            if (next.endsStream) {
                state.digests.push_back(std::move(digest));
                --state.streamsEnded;
            }
        }
        state.changed.notify_all();
    }
}

}  // namespace

BackgroundSha256::BackgroundSha256() : blocks(blockCount) {
    for (std::size_t i = 0; i < blockCount; ++i) idle.push_back(i);
    worker = std::thread(hashQueuedBlocks, std::ref(*this));
}

BackgroundSha256::~BackgroundSha256() {
    if (!worker.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    worker.join();
}

void BackgroundSha256::update(const char* data, std::size_t size) {
    while (size > 0) {
        if (!filling) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return !idle.empty(); });
            filling = idle.back();
            idle.pop_back();
        }
        // The block is this thread's alone between leaving `idle` and entering `queued`.
        Block& block = blocks[*filling];
        if (!block.bytes) block.bytes = std::make_unique_for_overwrite<char[]>(blockSize);
        const std::size_t taken = std::min(size, blockSize - block.size);
        std::memcpy(block.bytes.get() + block.size, data, taken);
        block.size += taken;
        data += taken;
        size -= taken;
        if (block.size == blockSize) {
            queueBlock(*this, *filling, false);
            filling.reset();
        }
    }
}

void BackgroundSha256::endStream() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++streamsEnded;
    }
    queueBlock(*this, filling, true);
    filling.reset();
}

std::vector<std::string> BackgroundSha256::takeDigests() {
    std::vector<std::string> taken;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return streamsEnded == 0; });
        if (failed) throw std::runtime_error("Unable to compute SHA-256");
        taken.swap(digests);
    }
    return taken;
}

std::string BackgroundSha256::finishHex() {
    endStream();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    worker.join();
    if (failed || digests.empty()) throw std::runtime_error("Unable to compute SHA-256");
    return digests.back();
}
