// <bcrypt.h> relies on the types of <windows.h>.
#include <windows.h>

#include <bcrypt.h>

#include <stdexcept>

#include "platform/sha256.h"

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

[[noreturn]] void fail() { throw std::runtime_error("Unable to compute SHA-256"); }

bool succeeded(NTSTATUS status) { return status >= 0; }

// Opened once and kept for the process: opening the provider costs far more than hashing a small
// file, and an archive's entries are hashed each as a stream of its own. Threads may share it.
BCRYPT_ALG_HANDLE sha256Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        const NTSTATUS status =
            BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        return succeeded(status) ? opened : nullptr;
    }();
    return provider;
}

}  // namespace

Sha256::Sha256() : state(std::make_unique<State>()) {
    const BCRYPT_ALG_HANDLE provider = sha256Provider();
    // With no object buffer given, CNG allocates and frees the hash object itself.
    if (!provider ||
        !succeeded(BCryptCreateHash(provider, &state->hash, nullptr, 0, nullptr, 0, 0)))
        fail();
}

Sha256::~Sha256() { BCryptDestroyHash(state->hash); }

void Sha256::update(const void* data, std::size_t size) {
    // BCryptHashData takes a 32-bit length, so larger blocks go in slices.
    auto bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        ULONG slice = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (!succeeded(BCryptHashData(state->hash, bytes, slice, 0))) fail();
        bytes += slice;
        size -= slice;
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest;
    if (!succeeded(BCryptFinishHash(state->hash, digest.data(), digest.size(), 0))) fail();
    return digest;
}
