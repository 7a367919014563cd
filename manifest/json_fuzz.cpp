// libFuzzer target: arbitrary bytes through the object splitter and the field getters. Any crash,
// sanitizer report or broken property below is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "manifest/json_reader.h"
#include "manifest/json_writer.h"

namespace {

const char* const keys[] = {"name", "modPakNum", "isDirectory", "nuvraVersion", "url", "os"};

const char* const suffixes[] = {
    R"re("\s*:\s*"((?:\\.|[^"])*)")re",
    R"re("\s*:\s*(-?[0-9]+))re",
    R"re("\s*:\s*(-?[0-9]+(?:\.[0-9]+)?))re",
    R"re("\s*:\s*(true|false))re",
};

const FieldShape shapes[] = {FieldShape::string, FieldShape::integer, FieldShape::number,
                             FieldShape::boolean};

void require(bool condition) {
    if (!condition) std::abort();
}

// The standard library's backtracking engine recurses once per byte of a value, and when a string
// value never closes it tries every way of pairing up the backslashes, so it serves as the
// reference only on short texts with few backslashes.
void compareWithRegex(const std::string& text) {
    static std::vector<std::regex> patterns = [] {
        std::vector<std::regex> compiled;
        for (const char* key : keys)
            for (const char* suffix : suffixes)
                compiled.emplace_back(std::string("\"") + key + suffix);
        return compiled;
    }();
    std::size_t index = 0;
    for (const char* key : keys) {
        for (FieldShape shape : shapes) {
            std::smatch match;
            const bool found = std::regex_search(text, match, patterns[index++]);
            const std::optional<std::string> value = findFieldValue(text, key, shape);
            require(found == value.has_value());
            require(!found || match[1].str() == *value);
        }
    }
}

void readFields(const std::string& text) {
    for (const char* key : keys) {
        try {
            const std::string value = readStringField(text, key);
            // Whatever was read must survive being written and read again unchanged.
            require(readStringField("{\"k\":\"" + escapeJsonString(value) + "\"}", "k") == value);
        } catch (const std::runtime_error&) {
        }
        try {
            readIntField(text, key);
        } catch (const std::runtime_error&) {
        } catch (const std::out_of_range&) {
        }
        try {
            readNumberField(text, key);
        } catch (const std::runtime_error&) {
        } catch (const std::out_of_range&) {
        }
        try {
            readBoolField(text, key);
        } catch (const std::runtime_error&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const std::string& object : splitJsonObjects(text)) {
        require(object.size() >= 2 && object.front() == '{' && object.back() == '}');
        // An emitted object is balanced on its own, so it splits into exactly itself.
        const std::vector<std::string> again = splitJsonObjects(object);
        require(again.size() == 1 && again[0] == object);
        readFields(object);
    }
    readFields(text);
    if (size <= 256 && std::count(text.begin(), text.end(), '\\') <= 16) compareWithRegex(text);
    return 0;
}
