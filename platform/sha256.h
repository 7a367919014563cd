#pragma once
#include <array>
#include <cstddef>
#include <memory>
#include <string>

using Sha256Digest = std::array<unsigned char, 32>;

// SHA-256 from the platform's maintained implementation (libcrypto on POSIX, CNG on Windows),
// which uses the processor's SHA instructions where it has them. Raises runtime_error
// "Unable to compute SHA-256" when the library refuses a step.
struct Sha256 {
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    // The digest; the object is spent afterwards.
    Sha256Digest finish();
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string finishHex();

    struct State;
    std::unique_ptr<State> state;
};

// The digest of `bytes` as 64 lower-case hex digits.
std::string sha256Of(const std::string& bytes);

// 32 digest bytes as 64 lower-case hex digits.
std::string hexDigest(const unsigned char* digest, std::size_t size);
std::string hexDigest(const Sha256Digest& digest);
