#include "manifest/installed_files.h"

#include <charconv>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

bool isLowerHex(const std::string& text) {
    if (text.size() != 64) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

std::string recordedName(const fs::path& relative) {
    const std::u8string text = relative.lexically_normal().generic_u8string();
    std::string name(text.begin(), text.end());
    while (name.size() > 1 && name.back() == '/') name.pop_back();
    return name;
}

fs::path pathFromRecordedName(const std::string& name) {
    return fs::path(std::u8string(name.begin(), name.end()));
}

void forgetRecordedTree(InstalledRecord& record, const std::string& name) {
    record.files.erase(name);
    const std::string below = name + "/";
    auto first = record.files.lower_bound(below);
    auto last = first;
    while (last != record.files.end() && last->first.compare(0, below.size(), below) == 0) ++last;
    record.files.erase(first, last);
}

bool isRecordedModpak(const InstalledRecord& record, const ModpakEntry& entry) {
    for (const ModpakEntry& recorded : record.modpaks)
        if (recorded.modPakNum == entry.modPakNum && recorded.name == entry.name) return true;
    return false;
}

void writeInstalledRecord(const fs::path& path, const InstalledRecord& record) {
    std::string text = "[\n";
    bool first = true;
    auto separate = [&] {
        if (!first) text += ",\n";
        first = false;
    };
    for (const ModpakEntry& modpak : record.modpaks) {
        separate();
        text += "{\"modPakNum\":" + std::to_string(modpak.modPakNum) + ",\"name\":\"" +
                escapeJsonString(modpak.name) + "\"}";
    }
    // The path last: the reader finds the other fields before any text of a name.
    for (const auto& [name, file] : record.files) {
        separate();
        text += "{\"modPakNum\":" + std::to_string(file.modPakNum) +
                ",\"size\":" + std::to_string(file.size) + ",\"sha256\":\"" + file.sha256 +
                "\",\"path\":\"" + escapeJsonString(name) + "\"}";
    }
    text += "\n]\n";
    writeTextFile(path, text);
}

InstalledRecord readInstalledRecord(const fs::path& path) {
    const std::string text = readTextFile(path);
    InstalledRecord record;
    auto invalid = [&] {
        return std::runtime_error("Invalid record of installed files: " + textFromPath(path));
    };
    try {
        for (const std::string& object : splitJsonObjects(text)) {
            const std::int32_t number = readIntField(object, "modPakNum");
            std::optional<std::string> sha256 = findFieldValue(object, "sha256", FieldShape::string);
            if (!sha256) {
                record.modpaks.push_back({number, readStringField(object, "name")});
                continue;
            }
            InstalledFile file;
            file.modPakNum = number;
            file.sha256 = std::move(*sha256);
            const std::optional<std::string> size = findRawFieldValue(object, "size");
            if (!size || !isLowerHex(file.sha256)) throw invalid();
            const char* end = size->data() + size->size();
            auto [stop, error] = std::from_chars(size->data(), end, file.size);
            if (error != std::errc() || stop != end) throw invalid();
            std::string name = readStringField(object, "path");
            if (name.empty()) throw invalid();
            record.files[std::move(name)] = std::move(file);
        }
    } catch (const std::out_of_range&) {
        throw invalid();
    } catch (const std::runtime_error& error) {
        if (std::string_view(error.what()).starts_with("Invalid record")) throw;
        throw invalid();
    }
    return record;
}
