#include "manifest/signature.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <stdexcept>

#include "manifest/json_reader.h"
#include "platform/paths.h"

namespace {

const std::string untrustedPrefix = "untrusted comment: ";
const std::string trustedPrefix = "trusted comment: ";

// Lines without their ends; a CR before the LF is dropped, since admins edit files on Windows.
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

template <std::size_t N>
void copyInto(std::array<unsigned char, N>& target, const std::vector<unsigned char>& bytes,
              std::size_t offset) {
    std::copy(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
              bytes.begin() + static_cast<std::ptrdiff_t>(offset + N), target.begin());
}

void initSodium() {
    // Safe to call from any thread and any number of times; it fails only when the system has
    // no source of randomness.
    if (sodium_init() < 0) throw std::runtime_error("Unable to initialize libsodium");
}

}  // namespace

std::optional<std::vector<unsigned char>> bytesFromBase64(const std::string& text) {
    initSodium();
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    std::size_t size = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &size,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != text.data() + text.size())
        return std::nullopt;
    bytes.resize(size);
    return bytes;
}

std::string base64FromBytes(const unsigned char* bytes, std::size_t size) {
    initSodium();
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

std::string keyIdText(const std::array<unsigned char, 8>& keyId) {
    std::string text;
    char digits[3];
    for (std::size_t i = keyId.size(); i-- > 0;) {
        std::snprintf(digits, sizeof digits, "%02X", keyId[i]);
        text += digits;
    }
    return text;
}

std::optional<PublicKey> publicKeyFromBase64(const std::string& line) {
    std::optional<std::vector<unsigned char>> bytes = bytesFromBase64(line);
    if (!bytes || bytes->size() != 42 || (*bytes)[0] != 'E' || (*bytes)[1] != 'd')
        return std::nullopt;
    PublicKey key;
    copyInto(key.keyId, *bytes, 2);
    copyInto(key.key, *bytes, 10);
    return key;
}

std::optional<PublicKey> publicKeyFromFileText(const std::string& text) {
    const std::vector<std::string> lines = linesOf(text);
    if (lines.size() != 2 || !startsWith(lines[0], untrustedPrefix)) return std::nullopt;
    return publicKeyFromBase64(lines[1]);
}

std::string publicKeyFileText(const PublicKey& key) {
    std::vector<unsigned char> bytes(2 + key.keyId.size() + key.key.size());
    bytes[0] = 'E';
    bytes[1] = 'd';
    std::copy(key.keyId.begin(), key.keyId.end(), bytes.begin() + 2);
    std::copy(key.key.begin(), key.key.end(), bytes.begin() + 10);
    return "untrusted comment: nuvrapublish public key " + keyIdText(key.keyId) + "\n" +
           base64FromBytes(bytes.data(), bytes.size()) + "\n";
}

PublicKey readPublicKeyFile(const std::filesystem::path& path) {
    std::optional<PublicKey> key = publicKeyFromFileText(readTextFile(path));
    if (!key) throw std::runtime_error("Invalid public key file: " + textFromPath(path));
    return *key;
}

std::optional<SignatureParts> parseSignature(const std::string& text) {
    const std::vector<std::string> lines = linesOf(text);
    if (lines.size() != 4 || !startsWith(lines[0], untrustedPrefix) ||
        !startsWith(lines[2], trustedPrefix))
        return std::nullopt;
    std::optional<std::vector<unsigned char>> signature = bytesFromBase64(lines[1]);
    std::optional<std::vector<unsigned char>> global = bytesFromBase64(lines[3]);
    if (!signature || signature->size() != 74 || !global || global->size() != 64)
        return std::nullopt;
    SignatureParts parts;
    copyInto(parts.algorithm, *signature, 0);
    copyInto(parts.keyId, *signature, 2);
    copyInto(parts.signature, *signature, 10);
    parts.trustedComment = lines[2].substr(trustedPrefix.size());
    copyInto(parts.globalSignature, *global, 0);
    return parts;
}

namespace {

// The number after `prefix` among the comment's blank- or tab-separated words, as sequenceOf.
std::optional<std::uint64_t> numberWord(const std::string& trustedComment,
                                        const std::string& prefix) {
    std::size_t start = 0;
    while (start < trustedComment.size()) {
        std::size_t end = trustedComment.find_first_of(" \t", start);
        if (end == std::string::npos) end = trustedComment.size();
        if (trustedComment.compare(start, prefix.size(), prefix) == 0) {
            const char* first = trustedComment.data() + start + prefix.size();
            const char* last = trustedComment.data() + end;
            std::uint64_t number = 0;
            auto [stop, error] = std::from_chars(first, last, number);
            if (first == last || error != std::errc() || stop != last) return std::nullopt;
            return number;
        }
        start = end + 1;
    }
    return 0;
}

}  // namespace

std::optional<std::uint64_t> sequenceOf(const std::string& trustedComment) {
    return numberWord(trustedComment, "seq:");
}

std::optional<std::uint64_t> expiryOf(const std::string& trustedComment) {
    return numberWord(trustedComment, "expires:");
}

std::uint64_t verifySignature(const std::string& content, const std::string& signature,
                              const PublicKey& key, const std::string& name) {
    initSodium();
    auto failed = [&](const std::string& reason) {
        return std::runtime_error("Signature check failed for " + name + ": " + reason);
    };
    const std::optional<SignatureParts> parts = parseSignature(signature);
    if (!parts) throw failed("not a minisign signature file");
    if (parts->keyId != key.keyId)
        throw failed("signed by another key (key id " + keyIdText(parts->keyId) + ", expected " +
                     keyIdText(key.keyId) + ")");

    const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
    int verified = -1;
    if (parts->algorithm == std::array<unsigned char, 2>{'E', 'D'}) {
        std::array<unsigned char, crypto_generichash_BYTES_MAX> hash{};
        if (crypto_generichash(hash.data(), hash.size(), bytes, content.size(), nullptr, 0) != 0)
            throw failed("unable to hash the file");
        verified = crypto_sign_verify_detached(parts->signature.data(), hash.data(), hash.size(),
                                               key.key.data());
    } else if (parts->algorithm == std::array<unsigned char, 2>{'E', 'd'}) {
        verified = crypto_sign_verify_detached(parts->signature.data(), bytes, content.size(),
                                               key.key.data());
    } else {
        throw failed("unknown signature algorithm");
    }
    if (verified != 0) throw failed("the signature does not match the file");

    std::vector<unsigned char> signedComment(parts->signature.begin(), parts->signature.end());
    signedComment.insert(signedComment.end(), parts->trustedComment.begin(),
                         parts->trustedComment.end());
    if (crypto_sign_verify_detached(parts->globalSignature.data(), signedComment.data(),
                                    signedComment.size(), key.key.data()) != 0)
        throw failed("the signature of the trusted comment does not match");

    // A signature made for one server file must not pass for another served in its place.
    const std::string filePrefix = "file:";
    std::size_t start = 0;
    const std::string& comment = parts->trustedComment;
    while (start < comment.size()) {
        std::size_t end = comment.find_first_of(" \t", start);
        if (end == std::string::npos) end = comment.size();
        if (comment.compare(start, filePrefix.size(), filePrefix) == 0) {
            const std::string signedName =
                comment.substr(start + filePrefix.size(), end - start - filePrefix.size());
            if (signedName != name) throw failed("signed as " + signedName);
        }
        start = end + 1;
    }
    const std::optional<std::uint64_t> sequence = sequenceOf(comment);
    if (!sequence) throw failed("invalid sequence number in the trusted comment: " + comment);
    if (!expiryOf(comment)) throw failed("invalid expiry in the trusted comment: " + comment);
    return *sequence;
}
