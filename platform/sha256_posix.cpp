#include <openssl/evp.h>

#include <stdexcept>

#include "platform/sha256.h"

struct Sha256::State {
    struct ContextFree {
        void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
    };
    std::unique_ptr<EVP_MD_CTX, ContextFree> context;
};

namespace {

[[noreturn]] void fail() { throw std::runtime_error("Unable to compute SHA-256"); }

// Fetched once: looking the algorithm up at every start costs more than hashing a small file, and
// an archive's entries are hashed each as a stream of its own.
const EVP_MD* sha256Method() {
    static EVP_MD* const method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

}  // namespace

Sha256::Sha256() : state(std::make_unique<State>()) {
    state->context.reset(EVP_MD_CTX_new());
    const EVP_MD* method = sha256Method();
    // The EVP interface, not the low-level SHA256_* calls, picks the SHA-extension code path.
    if (!state->context || !method || EVP_DigestInit_ex(state->context.get(), method, nullptr) != 1)
        fail();
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(state->context.get(), data, size) != 1) fail();
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state->context.get(), digest.data(), &length) != 1 ||
        length != digest.size())
        fail();
    return digest;
}
