#include "publish/keys.h"

#include <sodium.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "manifest/signature.h"
#include "manifest/signed_files.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

const char* const serverFileNames[] = {"nuvraconfigremote.json", "nuvramodremote1.json",
                                       "nuvrafile.json"};

// minisign's secret key file, decoded: algorithm "Ed", key derivation "Sc" (scrypt) or two zero
// bytes (none), checksum "B2" (BLAKE2b), the scrypt salt and limits (little-endian), then the key
// id, the secret key and the checksum, which scrypt's output encrypts by XOR.
constexpr std::size_t saltAt = 6, opsAt = 38, memAt = 46, keyIdAt = 54, keyAt = 62, checkAt = 126,
                      secretFileSize = 158;
constexpr std::size_t encryptedSize = secretFileSize - keyIdAt;

void putLittleEndian(std::vector<unsigned char>& bytes, std::size_t at, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i)
        bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const std::vector<unsigned char>& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (std::size_t i = 8; i-- > 0;) value = value << 8 | bytes[at + i];
    return value;
}

// The BLAKE2b-256 checksum minisign keeps over the algorithm, the key id and the secret key.
std::array<unsigned char, 32> keyChecksum(const std::vector<unsigned char>& bytes) {
    std::array<unsigned char, 32> checksum{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, checksum.size());
    crypto_generichash_update(&state, bytes.data(), 2);
    crypto_generichash_update(&state, bytes.data() + keyIdAt, 8);
    crypto_generichash_update(&state, bytes.data() + keyAt, 64);
    crypto_generichash_final(&state, checksum.data(), checksum.size());
    return checksum;
}

// XORs the key id, the secret key and the checksum with scrypt's output for `password`; the
// same call encrypts and decrypts.
bool applyPassword(std::vector<unsigned char>& bytes, const std::string& password) {
    std::vector<unsigned char> stream(encryptedSize);
    if (crypto_pwhash_scryptsalsa208sha256(
            stream.data(), stream.size(), password.data(), password.size(), bytes.data() + saltAt,
            getLittleEndian(bytes, opsAt),
            static_cast<std::size_t>(getLittleEndian(bytes, memAt))) != 0)
        return false;
    for (std::size_t i = 0; i < encryptedSize; ++i) bytes[keyIdAt + i] ^= stream[i];
    sodium_memzero(stream.data(), stream.size());
    return true;
}

std::vector<unsigned char> readSecretBytes(const fs::path& path) {
    const std::string text = readTextFile(path);
    const std::size_t lineEnd = text.find('\n');
    std::string line = lineEnd == std::string::npos ? "" : text.substr(lineEnd + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    std::optional<std::vector<unsigned char>> bytes = bytesFromBase64(line);
    if (!bytes || bytes->size() != secretFileSize || (*bytes)[0] != 'E' || (*bytes)[1] != 'd' ||
        (*bytes)[4] != 'B' || (*bytes)[5] != '2' ||
        !(((*bytes)[2] == 'S' && (*bytes)[3] == 'c') || ((*bytes)[2] == 0 && (*bytes)[3] == 0)))
        throw std::runtime_error("Invalid secret key file: " + textFromPath(path));
    return *bytes;
}

std::string signatureText(const std::string& content, const std::string& trustedComment,
                          const SecretKey& key) {
    std::array<unsigned char, crypto_generichash_BYTES_MAX> hash{};
    crypto_generichash(hash.data(), hash.size(),
                       reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                       nullptr, 0);
    std::vector<unsigned char> signature(2 + key.keyId.size() + crypto_sign_BYTES);
    signature[0] = 'E';
    signature[1] = 'D';
    std::copy(key.keyId.begin(), key.keyId.end(), signature.begin() + 2);
    crypto_sign_detached(signature.data() + 10, nullptr, hash.data(), hash.size(), key.key.data());
    std::vector<unsigned char> signedComment(signature.begin() + 10, signature.end());
    signedComment.insert(signedComment.end(), trustedComment.begin(), trustedComment.end());
    std::array<unsigned char, crypto_sign_BYTES> global{};
    crypto_sign_detached(global.data(), nullptr, signedComment.data(), signedComment.size(),
                         key.key.data());
    return "untrusted comment: signature from nuvrapublish secret key\n" +
           base64FromBytes(signature.data(), signature.size()) +
           "\ntrusted comment: " + trustedComment + "\n" +
           base64FromBytes(global.data(), global.size()) + "\n";
}

// The highest sequence number among the signatures of the three server files in `dir`; a
// signature this tool cannot read counts as none, since signing replaces it.
std::uint64_t highestSequence(const fs::path& dir) {
    std::uint64_t highest = 0;
    for (const char* name : serverFileNames) {
        const fs::path path = dir / pathFromText(std::string(name) + ".minisig");
        if (!fileExists(path)) continue;
        if (std::optional<SignatureParts> parts = parseSignature(readTextFile(path)))
            highest = std::max(highest, sequenceOf(parts->trustedComment).value_or(0));
    }
    return highest;
}

PublicKey publicKeyOf(const SecretKey& key) {
    PublicKey publicKey;
    publicKey.keyId = key.keyId;
    // libsodium's secret key ends with its public key.
    std::copy_n(key.key.begin() + 32, publicKey.key.size(), publicKey.key.begin());
    return publicKey;
}

}  // namespace

PublicKey generateKeyPair(const fs::path& dir, const std::optional<std::string>& password) {
    if (sodium_init() < 0) throw std::runtime_error("Unable to initialize libsodium");
    const fs::path secretPath = dir / pathFromText("nuvrapublish.key");
    const fs::path publicPath = dir / pathFromText("nuvraupdater.pub");
    for (const fs::path& path : {secretPath, publicPath})
        if (fileExists(path))
            throw std::runtime_error("Refusing to overwrite " + textFromPath(path));

    PublicKey publicKey;
    std::vector<unsigned char> bytes(secretFileSize, 0);
    bytes[0] = 'E';
    bytes[1] = 'd';
    bytes[4] = 'B';
    bytes[5] = '2';
    randombytes_buf(publicKey.keyId.data(), publicKey.keyId.size());
    std::copy(publicKey.keyId.begin(), publicKey.keyId.end(), bytes.begin() + keyIdAt);
    crypto_sign_keypair(publicKey.key.data(), bytes.data() + keyAt);
    const std::array<unsigned char, 32> checksum = keyChecksum(bytes);
    std::copy(checksum.begin(), checksum.end(), bytes.begin() + checkAt);
    std::string comment = "untrusted comment: nuvrapublish secret key\n";
    if (password) {
        bytes[2] = 'S';
        bytes[3] = 'c';
        randombytes_buf(bytes.data() + saltAt, crypto_pwhash_scryptsalsa208sha256_SALTBYTES);
        // minisign's own limits, so that either tool opens the other's keys at the same cost.
        putLittleEndian(bytes, opsAt, crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
        putLittleEndian(bytes, memAt, crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);
        if (!applyPassword(bytes, *password))
            throw std::runtime_error("Not enough memory to encrypt the secret key");
        comment = "untrusted comment: nuvrapublish encrypted secret key\n";
    }

    createDirectories(dir);
    writeTextFile(secretPath, comment + base64FromBytes(bytes.data(), bytes.size()) + "\n");
    sodium_memzero(bytes.data(), bytes.size());
    writeTextFile(publicPath, publicKeyFileText(publicKey));
    return publicKey;
}

bool secretKeyIsEncrypted(const fs::path& path) { return readSecretBytes(path)[2] == 'S'; }

SecretKey readSecretKeyFile(const fs::path& path, const std::string& password) {
    if (sodium_init() < 0) throw std::runtime_error("Unable to initialize libsodium");
    std::vector<unsigned char> bytes = readSecretBytes(path);
    if (bytes[2] == 'S') {
        if (!applyPassword(bytes, password))
            throw std::runtime_error("Not enough memory to decrypt " + textFromPath(path));
        const std::array<unsigned char, 32> checksum = keyChecksum(bytes);
        // A wrong password decrypts to noise, which the checksum tells from the key.
        if (sodium_memcmp(checksum.data(), bytes.data() + checkAt, checksum.size()) != 0)
            throw std::runtime_error("Wrong password for " + textFromPath(path));
    }
    SecretKey key;
    std::copy_n(bytes.begin() + keyIdAt, key.keyId.size(), key.keyId.begin());
    std::copy_n(bytes.begin() + keyAt, key.key.size(), key.key.begin());
    sodium_memzero(bytes.data(), bytes.size());
    return key;
}

bool serverIsSigned(const fs::path& dir) {
    return std::any_of(std::begin(serverFileNames), std::end(serverFileNames),
                       [&](const char* name) {
                           return fileExists(dir / pathFromText(std::string(name) + ".minisig"));
                       });
}

std::uint64_t signServer(const fs::path& dir, const SecretKey& key, std::uint64_t lifetime) {
    if (sodium_init() < 0) throw std::runtime_error("Unable to initialize libsodium");
    const std::uint64_t sequence = highestSequence(dir) + 1;
    const auto now = static_cast<std::uint64_t>(std::time(nullptr));
    const std::string timestamp = std::to_string(now);
    const std::string expires = lifetime ? "\texpires:" + std::to_string(now + lifetime) : "";
    std::vector<std::pair<fs::path, std::string>> signatures;
    // Every signature is made before any is written, so that a file that cannot be read leaves
    // the old signatures together.
    for (const char* name : serverFileNames) {
        const std::string content = readTextFile(dir / pathFromText(name));
        const std::string comment = "timestamp:" + timestamp + "\tfile:" + name +
                                    "\tseq:" + std::to_string(sequence) + expires;
        signatures.emplace_back(dir / pathFromText(std::string(name) + ".minisig"),
                                signatureText(content, comment, key));
    }
    for (const auto& [path, text] : signatures) writeTextFile(path, text);
    return sequence;
}

std::uint64_t rotateKey(const fs::path& dir, const SecretKey& oldKey, const SecretKey& newKey,
                        std::uint64_t lifetime) {
    if (sodium_init() < 0) throw std::runtime_error("Unable to initialize libsodium");
    if (oldKey.keyId == newKey.keyId)
        throw std::runtime_error("The old and the new key are the same key (" +
                                 keyIdText(oldKey.keyId) + ")");
    // The new key takes over at the folder's sequence, so that its own first publication, one
    // above, is newer than anything the old key signed.
    const std::uint64_t sequence = highestSequence(dir);
    const std::string text = publicKeyFileText(publicKeyOf(newKey));
    const std::string comment = "timestamp:" + std::to_string(std::time(nullptr)) +
                                "\tfile:" + rotationFileName + "\tseq:" + std::to_string(sequence);
    const std::string signature = signatureText(text, comment, oldKey);
    // Signed by the new key before the statement appears, so that an updater that follows it
    // finds the files signed with the key it switched to.
    const std::uint64_t first = signServer(dir, newKey, lifetime);
    writeTextFile(dir / pathFromText(rotationFileName), text);
    writeTextFile(dir / pathFromText(std::string(rotationFileName) + ".minisig"), signature);
    return first;
}
