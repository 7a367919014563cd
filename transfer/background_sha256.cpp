#include "transfer/background_sha256.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>

namespace {

// Large enough that a block costs far more to hash than to hand over, and few enough to bound
// the memory a verified transfer takes.
constexpr std::size_t blockSize = 256 * 1024;
constexpr std::size_t blockCount = 4;

void queueBlock(BackgroundSha256& state, std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queued.push_back(index);
    }
    state.changed.notify_all();
}

void hashQueuedBlocks(BackgroundSha256& state) {
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.changed.wait(lock, [&] { return !state.queued.empty() || state.ended; });
            if (state.queued.empty()) return;
            index = state.queued.front();
            state.queued.pop_front();
        }
        BackgroundSha256::Block& block = state.blocks[index];
        bool hashed = true;
        try {
            state.hash.update(block.bytes.get(), block.size);
        } catch (const std::exception&) {
            hashed = false;  // reported by finishHex; the stream itself goes on
        }
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (!hashed) state.failed = true;
            block.size = 0;
            state.idle.push_back(index);
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
            queueBlock(*this, *filling);
            filling.reset();
        }
    }
}

std::string BackgroundSha256::finishHex() {
    if (filling) {
        queueBlock(*this, *filling);
        filling.reset();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    worker.join();
    if (failed) throw std::runtime_error("Unable to compute SHA-256");
    return hash.finishHex();
}
