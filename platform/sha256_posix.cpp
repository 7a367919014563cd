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

}  // namespace

Sha256::Sha256() : state(std::make_unique<State>()) {
    state->context.reset(EVP_MD_CTX_new());
    // The EVP interface, not the low-level SHA256_* calls, picks the SHA-extension code path.
    if (!state->context || EVP_DigestInit_ex(state->context.get(), EVP_sha256(), nullptr) != 1)
        fail();
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0 && EVP_DigestUpdate(state->context.get(), data, size) != 1) fail();
}

std::string Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state->context.get(), digest, &length) != 1) fail();
    return hexDigest(digest, length);
}
