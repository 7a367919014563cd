#include "platform/sha256.h"

std::string hexDigest(const unsigned char* digest, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string hex(2 * size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 0x0f];
    }
    return hex;
}

std::string hexDigest(const Sha256Digest& digest) {
    return hexDigest(digest.data(), digest.size());
}

std::string Sha256::finishHex() { return hexDigest(finish()); }

std::string sha256Of(const std::string& bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}
