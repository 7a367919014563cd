#pragma once
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "manifest/records.h"

// Signatures in minisign's file formats, checked with libsodium's Ed25519 and BLAKE2b.

// The parts of a ".minisig" file: an untrusted comment line, the base64 of the algorithm ("ED":
// Ed25519 over the file's BLAKE2b-512 hash; "Ed": the legacy form over the file itself), the key
// id and the signature, a "trusted comment: " line, and the base64 of the global signature over
// the signature followed by the trusted comment.
struct SignatureParts {
    std::array<unsigned char, 2> algorithm{};
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 64> signature{};
    std::string trustedComment;  // without its "trusted comment: " prefix
    std::array<unsigned char, 64> globalSignature{};
};

// The bytes of standard base64 text (with padding); nullopt when it is anything else.
std::optional<std::vector<unsigned char>> bytesFromBase64(const std::string& text);
std::string base64FromBytes(const unsigned char* bytes, std::size_t size);

// The key id as minisign prints it: the 8 bytes read as a little-endian number, 16 hex digits.
std::string keyIdText(const std::array<unsigned char, 8>& keyId);

// The key of a public key file's base64 line ("Ed", key id, key); nullopt when malformed.
std::optional<PublicKey> publicKeyFromBase64(const std::string& line);
// The key of a minisign public key file's text (an "untrusted comment:" line, then the base64
// line); nullopt when malformed.
std::optional<PublicKey> publicKeyFromFileText(const std::string& text);
// The text of a minisign public key file for `key`.
std::string publicKeyFileText(const PublicKey& key);
// A minisign public key file: an "untrusted comment:" line, then the base64 line. Raises
// "Invalid public key file: <path>" and the reader's errors.
PublicKey readPublicKeyFile(const std::filesystem::path& path);

// The parts of a signature file's text; nullopt when it does not have minisign's shape.
std::optional<SignatureParts> parseSignature(const std::string& text);

// The number after "seq:" among the trusted comment's blank- or tab-separated words: 0 without
// one, nullopt when it is not a plain decimal number that fits 64 bits.
std::optional<std::uint64_t> sequenceOf(const std::string& trustedComment);
// The same for "expires:", the time (seconds since 1970, UTC) after which the signed file is no
// longer to be trusted: 0 without one (never).
std::optional<std::uint64_t> expiryOf(const std::string& trustedComment);

// Checks the signature file `signature` for the bytes `content` of the server file `name`: the
// key id, the signature of either form, the global signature over the trusted comment, and that
// a "file:" word in the trusted comment names `name`, and that its sequence and expiry words (if
// any) are numbers. Returns the sequence number. Raises
// "Signature check failed for <name>: <reason>" on the first check that fails.
std::uint64_t verifySignature(const std::string& content, const std::string& signature,
                              const PublicKey& key, const std::string& name);
