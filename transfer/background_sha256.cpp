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
// A block of empty or tiny streams is handed over before its list of ends grows past this.
constexpr std::size_t mostStreamEnds = 4096;

void queueBlock(BackgroundSha256& state, std::size_t index) {
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        state.queued.push_back(index);
    }
    state.changed.notify_all();
}

// Hashes `size` bytes into the worker's current stream; false when the library refused.
bool hashInto(BackgroundSha256& state, const char* bytes, std::size_t size) {
    try {
        if (!state.hash) state.hash.emplace();
        state.hash->update(bytes, size);
        return true;
    } catch (const std::exception&) {
        state.hash.reset();  // reported by takeDigests or finishHex; the stream itself goes on
        return false;
    }
}

void hashQueuedBlocks(BackgroundSha256& state) {
    std::vector<Sha256Digest> finished;
    for (;;) {
        std::size_t index = 0;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.changed.wait(lock, [&] { return !state.queued.empty() || state.ended; });
            if (state.queued.empty()) return;
            index = state.queued.front();
            state.queued.pop_front();
        }
        // The block is this thread's alone between leaving `queued` and entering `idle`.
        BackgroundSha256::Block& block = state.blocks[index];
        bool hashed = true;
        std::size_t start = 0;
        for (std::size_t end : block.streamEnds) {
            hashed = hashInto(state, block.bytes.get() + start, end - start) && hashed;
            Sha256Digest digest{};
            try {
                if (state.hash) digest = state.hash->finish();
            } catch (const std::exception&) {
                hashed = false;
            }
            state.hash.reset();
            finished.push_back(digest);
            start = end;
        }
        hashed = hashInto(state, block.bytes.get() + start, block.size - start) && hashed;
        block.size = 0;
        block.streamEnds.clear();
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (!hashed) state.failed = true;
            state.idle.push_back(index);
            state.digests.insert(state.digests.end(), finished.begin(), finished.end());
        }
        finished.clear();
        state.changed.notify_all();
    }
}

void takeIdleBlock(BackgroundSha256& state) {
    std::unique_lock<std::mutex> lock(state.mutex);
    state.changed.wait(lock, [&] { return !state.idle.empty(); });
    state.filling = state.idle.back();
    state.idle.pop_back();
}

void queueFilledBlock(BackgroundSha256& state) {
    if (!state.filling) return;
    queueBlock(state, *state.filling);
    state.filling.reset();
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
        if (!filling) takeIdleBlock(*this);
        Block& block = blocks[*filling];
        if (!block.bytes) block.bytes = std::make_unique_for_overwrite<char[]>(blockSize);
        const std::size_t taken = std::min(size, blockSize - block.size);
        std::memcpy(block.bytes.get() + block.size, data, taken);
        block.size += taken;
        data += taken;
        size -= taken;
        if (block.size == blockSize) queueFilledBlock(*this);
    }
}

void BackgroundSha256::endStream() {
    if (!filling) takeIdleBlock(*this);
    Block& block = blocks[*filling];
    block.streamEnds.push_back(block.size);
    ++untaken;
    if (block.streamEnds.size() >= mostStreamEnds) queueFilledBlock(*this);
}

std::vector<Sha256Digest> BackgroundSha256::takeDigests() {
    queueFilledBlock(*this);
    std::vector<Sha256Digest> taken;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return digests.size() >= untaken; });
        if (failed) throw std::runtime_error("Unable to compute SHA-256");
        taken.swap(digests);
    }
    untaken = 0;
    return taken;
}

std::string BackgroundSha256::finishHex() {
    endStream();
    queueFilledBlock(*this);
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
    }
    changed.notify_all();
    worker.join();
    if (failed || digests.empty()) throw std::runtime_error("Unable to compute SHA-256");
    return hexDigest(digests.back());
}
