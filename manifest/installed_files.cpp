#include "manifest/installed_files.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <type_traits>
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

// `text` as it is recorded when it needs no normalising: components joined by single '/', none
// empty, "." or "..". Archive names nearly always are, and normalising builds a path of each
// component. Only where the native text is 8-bit with '/' between components is it also the
// generic text. A template, so that the other branch is not compiled where it could not be.
template <typename Char>
std::optional<std::string> asRecordedForm(const std::basic_string<Char>& text) {
    if constexpr (!std::is_same_v<Char, char> || fs::path::preferred_separator != '/') {
        return std::nullopt;
    } else {
        if (text.empty()) return std::nullopt;
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = std::min(text.find('/', start), text.size());
            const std::string_view component(text.data() + start, end - start);
            if (component.empty() || component == "." || component == "..") return std::nullopt;
            if (end == text.size()) return text;
            start = end + 1;
        }
    }
}

}  // namespace

std::string recordedNameOfNative(const fs::path::string_type& text) {
    if (std::optional<std::string> name = asRecordedForm(text)) return std::move(*name);
    return recordedName(fs::path(text));
}

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
    // Written after every modpak, with a line per file: appended piece by piece into one buffer
    // rather than through a temporary string per field.
    std::string text;
    text.reserve(64 + 64 * record.modpaks.size() + 160 * record.files.size());
    text += "[\n";
    bool first = true;
    auto separate = [&] {
        if (!first) text += ",\n";
        first = false;
    };
    auto appendNumber = [&](auto number) {
        char digits[24];
        const auto [end, error] = std::to_chars(digits, digits + sizeof digits, number);
        text.append(digits, end);
    };
    for (const ModpakEntry& modpak : record.modpaks) {
        separate();
        text += "{\"modPakNum\":";
        appendNumber(modpak.modPakNum);
        text += ",\"name\":\"";
        text += escapeJsonString(modpak.name);
        text += "\"}";
    }
    // The path last: the reader finds the other fields before any text of a name.
    for (const auto& [name, file] : record.files) {
        separate();
        text += "{\"modPakNum\":";
        appendNumber(file.modPakNum);
        text += ",\"size\":";
        appendNumber(file.size);
        text += ",\"sha256\":\"";
        text += file.sha256;
        text += "\",\"path\":\"";
        text += escapeJsonString(name);
        text += "\"}";
    }
    text += "\n]\n";
    writeTextFile(path, text);
}

InstalledRecord readInstalledRecord(const fs::path& path) {
    const std::string text = readTextFile(path);
    InstalledRecord record;
    auto invalid = [&] {
        return InvalidRecord("Invalid record of installed files: " + textFromPath(path));
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
    } catch (const InvalidRecord&) {
        throw;
    } catch (const std::runtime_error&) {
        throw invalid();
    }
    return record;
}
