#include "manifest/manifests.h"

#include <charconv>
#include <stdexcept>
#include <string>
#include <utility>

#include "manifest/json_reader.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Strict where the other fields are lenient: a size read as "12" from "12.5" or "-12" would
// make a good file fail, or a bad one pass, after the run had begun changing the game folder.
// Unsigned, a promise is the pair: a size or a hash alone is a key of the server's own meaning
// (a size shown to players, in MB), ignored as any other key is.
ModpakPromise readPromise(const std::string& object, const ModpakEntry& entry,
                          PromiseReading reading) {
    ModpakPromise promise;
    auto invalid = [&](const std::string& key) {
        return std::runtime_error("Invalid " + key + " for modpak " +
                                  std::to_string(entry.modPakNum) + ": " + entry.name);
    };
    const std::optional<std::string> rawSize = findRawFieldValue(object, "size");
    const std::optional<std::string> rawHash = findRawFieldValue(object, "sha256");
    if (reading == PromiseReading::pairOnly && !(rawSize && rawHash)) return promise;
    if (const std::optional<std::string>& raw = rawSize) {
        std::uint64_t size = 0;
        const char* end = raw->data() + raw->size();
        auto [stop, error] = std::from_chars(raw->data(), end, size);
        // from_chars takes no sign, blank or exponent: only digits reach the end.
        if (error != std::errc() || stop != end) throw invalid("size");
        promise.size = size;
    }
    if (const std::optional<std::string>& raw = rawHash) {
        bool valid = raw->size() == 66 && raw->front() == '"' && raw->back() == '"';
        for (std::size_t i = 1; valid && i + 1 < raw->size(); ++i) valid = isHexDigit((*raw)[i]);
        if (!valid) throw invalid("sha256");
        promise.sha256 = raw->substr(1, 64);
    }
    return promise;
}

}  // namespace

std::vector<ModpakEntry> parseModpakList(const fs::path& path) {
    std::vector<ModpakEntry> list;
    for (const std::string& object : splitJsonObjects(readTextFile(path))) {
        ModpakEntry entry;
        entry.modPakNum = readIntField(object, "modPakNum");
        entry.name = readStringField(object, "name");
        list.push_back(std::move(entry));
    }
    return list;
}

std::vector<RemoteModpak> parseRemoteModpakList(const fs::path& path, PromiseReading reading) {
    const std::string text = readTextFile(path);
    requireCompleteServerFile(text, path);
    std::vector<RemoteModpak> list;
    for (const std::string& object : splitJsonObjects(text)) {
        RemoteModpak remote;
        remote.entry.modPakNum = readIntField(object, "modPakNum");
        remote.entry.name = readStringField(object, "name");
        remote.promise = readPromise(object, remote.entry, reading);
        list.push_back(std::move(remote));
    }
    return list;
}

std::vector<FileEntry> parseFileList(const fs::path& path) {
    return fileListFromText(readTextFile(path));
}

std::vector<FileEntry> parseServerFileList(const fs::path& path) {
    const std::string text = readTextFile(path);
    requireCompleteServerFile(text, path);
    return fileListFromText(text);
}

std::vector<FileEntry> fileListFromText(const std::string& text) {
    std::vector<FileEntry> list;
    for (const std::string& object : splitJsonObjects(text)) {
        FileEntry entry;
        entry.modPakNum = readIntField(object, "modPakNum");
        entry.name = readStringField(object, "name");
        entry.isDirectory = readBoolField(object, "isDirectory");
        list.push_back(std::move(entry));
    }
    return list;
}

bool isSevenZipName(const std::string& name) {
    return name.size() >= 3 && name.compare(name.size() - 3, 3, ".7z") == 0;
}
