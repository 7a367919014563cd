#include "manifest/signed_files.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <vector>

#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "manifest/signature.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

const char* const sequenceFileName = "nuvrasequence.json";

struct SequenceRecord {
    std::string keyId;
    std::uint64_t sequence = 0;
};

// Kept apart from nuvraconfig.json and nuvramodlocal.json, whose formats older updaters rewrite
// without keys they do not know.
std::vector<SequenceRecord> readSequenceFile(const fs::path& path) {
    std::vector<SequenceRecord> records;
    if (!fileExists(path)) return records;
    for (const std::string& object : splitJsonObjects(readTextFile(path))) {
        SequenceRecord record;
        record.keyId = readStringField(object, "keyId");
        std::optional<std::string> raw = findRawFieldValue(object, "sequence");
        const char* end = raw ? raw->data() + raw->size() : nullptr;
        auto [stop, error] = raw ? std::from_chars(raw->data(), end, record.sequence)
                                 : std::from_chars_result{nullptr, std::errc::invalid_argument};
        if (error != std::errc() || stop != end)
            throw std::runtime_error("Invalid sequence number in " + textFromPath(path));
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace

std::optional<PublicKey> pinnedKeyFrom(const fs::path& rootDir, const std::string& builtInKey) {
    if (!builtInKey.empty()) {
        std::optional<PublicKey> key = publicKeyFromBase64(builtInKey);
        if (!key) throw std::runtime_error("Invalid built-in public key");
        return key;
    }
    const fs::path path = rootDir / pathFromText("nuvraupdater.pub");
    if (!fileExists(path)) return std::nullopt;
    return readPublicKeyFile(path);
}

std::uint64_t acceptedSequence(const fs::path& rootDir, const PublicKey& key) {
    const std::string keyId = keyIdText(key.keyId);
    for (const SequenceRecord& record : readSequenceFile(rootDir / pathFromText(sequenceFileName)))
        if (record.keyId == keyId) return record.sequence;
    return 0;
}

void recordAcceptedSequence(const fs::path& rootDir, const PublicKey& key, std::uint64_t sequence) {
    const fs::path path = rootDir / pathFromText(sequenceFileName);
    std::vector<SequenceRecord> records = readSequenceFile(path);
    const std::string keyId = keyIdText(key.keyId);
    auto found = std::find_if(records.begin(), records.end(),
                              [&](const SequenceRecord& record) { return record.keyId == keyId; });
    if (found == records.end()) {
        if (sequence == 0) return;
        found = records.insert(records.end(), SequenceRecord{keyId, 0});
    } else if (found->sequence >= sequence) {
        return;
    }
    found->sequence = sequence;
    std::string text = "[";
    for (const SequenceRecord& record : records) {
        if (text.size() > 1) text += ",";
        text += R"({"keyId":")" + escapeJsonString(record.keyId) + R"(","sequence":)" +
                std::to_string(record.sequence) + "}";
    }
    writeTextFile(path, text + "]");
}
