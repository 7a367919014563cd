#include "manifest/json_reader.h"

#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

// The span [begin, end) of a value inside the searched text.
struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::size_t skipSpaces(const std::string& text, std::size_t at) {
    while (at < text.size() && isSpace(text[at])) ++at;
    return at;
}

std::size_t skipDigits(const std::string& text, std::size_t at) {
    while (at < text.size() && isDigit(text[at])) ++at;
    return at;
}

// Where `"((?:\\.|[^"])*)"` closes, given the position just after its opening quote; npos when it
// cannot close. A backtracking engine first follows its preferred path (a backslash takes the next
// byte with it unless that is a line break) up to the first quote it meets. When that path runs
// off the end, every quote after `at` was taken as the second byte of a backslash pair; the
// engine then backs up to the last such pair, lets its backslash stand alone, and closes on that
// pair's quote, which is the last quote of the text.
std::size_t stringValueEnd(const std::string& text, std::size_t at) {
    const std::size_t size = text.size();
    for (std::size_t i = at; i < size;) {
        if (text[i] == '"') return i;
        if (text[i] == '\\' && i + 1 < size && text[i + 1] != '\n' && text[i + 1] != '\r')
            i += 2;
        else
            i += 1;
    }
    const std::size_t last = text.rfind('"');
    return last != std::string::npos && last >= at ? last : std::string::npos;
}

// The value of the given shape that the pattern's tail `\s*:\s*(...)` matches right after a key
// token ending at `at`. \s* never needs to give back: neither ':' nor a value starts with a space.
std::optional<Span> valueAfterKey(const std::string& text, std::size_t at, FieldShape shape) {
    const std::size_t size = text.size();
    at = skipSpaces(text, at);
    if (at >= size || text[at] != ':') return std::nullopt;
    at = skipSpaces(text, at + 1);
    switch (shape) {
        case FieldShape::string: {
            if (at >= size || text[at] != '"') return std::nullopt;
            const std::size_t end = stringValueEnd(text, at + 1);
            // No quote is left to close on, so every later key occurrence fails here too.
            if (end == std::string::npos) return std::nullopt;
            return Span{at + 1, end};
        }
        case FieldShape::integer:
        case FieldShape::number: {
            const std::size_t digits = at < size && text[at] == '-' ? at + 1 : at;
            std::size_t end = skipDigits(text, digits);
            if (end == digits) return std::nullopt;
            if (shape == FieldShape::number && end + 1 < size && text[end] == '.' &&
                isDigit(text[end + 1]))
                end = skipDigits(text, end + 1);
            return Span{at, end};
        }
        case FieldShape::boolean:
            if (text.compare(at, 4, "true") == 0) return Span{at, at + 4};
            if (text.compare(at, 5, "false") == 0) return Span{at, at + 5};
            return std::nullopt;
    }
    return std::nullopt;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of `\uXXXX` at `at` (pointing at the backslash), or -1.
long unicodeEscape(const std::string& raw, std::size_t at) {
    if (at + 6 > raw.size() || raw[at] != '\\' || raw[at + 1] != 'u') return -1;
    long unit = 0;
    for (std::size_t i = at + 2; i < at + 6; ++i) {
        const int digit = hexDigit(raw[i]);
        if (digit < 0) return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

void appendUtf8(std::string& out, long code) {
    auto byte = [&out](long value) { out.push_back(static_cast<char>(value)); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | (code >> 6));
        byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | (code >> 12));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | (code >> 18));
        byte(0x80 | ((code >> 12) & 0x3F));
        byte(0x80 | ((code >> 6) & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
}

// Decodes the escapes the writer produces, plus `\/` and `\uXXXX`, which servers' JSON encoders
// write. Anything else (a lone surrogate included) stays as written, so that writing it back with
// its backslash escaped and reading it again gives the same bytes.
std::string decodeEscapes(const std::string& raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            out.push_back(raw[i++]);
            continue;
        }
        const char escaped = raw[i + 1];
        switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out.push_back(escaped);
                i += 2;
                continue;
            case 'n':
                out.push_back('\n');
                i += 2;
                continue;
            case 'r':
                out.push_back('\r');
                i += 2;
                continue;
            case 't':
                out.push_back('\t');
                i += 2;
                continue;
            default:
                break;
        }
        const long unit = unicodeEscape(raw, i);
        if (unit >= 0 && (unit < 0xD800 || unit > 0xDFFF)) {
            appendUtf8(out, unit);
            i += 6;
            continue;
        }
        const long low = unit >= 0xD800 && unit <= 0xDBFF ? unicodeEscape(raw, i + 6) : -1;
        if (low >= 0xDC00 && low <= 0xDFFF) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            i += 12;
            continue;
        }
        out.push_back('\\');
        out.push_back(escaped);
        i += 2;
    }
    return out;
}

// The outermost objects of `text`, and whether the scan ended inside an object or a string
// literal: what the reader drops at the end of a text is, in a server's file, a body cut short.
struct ObjectScan {
    std::vector<std::string> objects;
    bool openAtEnd = false;
};

ObjectScan scanJsonObjects(const std::string& text) {
    ObjectScan scan;
    bool inString = false;
    bool escaped = false;
    long long depth = 0;
    std::size_t start = std::string::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{') {
            if (depth == 0) start = i;
            ++depth;
        } else if (c == '}') {
            --depth;
            if (depth == 0 && start != std::string::npos) {
                scan.objects.push_back(text.substr(start, i - start + 1));
                start = std::string::npos;
            }
        }
    }
    scan.openAtEnd = inString || depth > 0;
    return scan;
}

std::string requireValue(const std::string& text, const std::string& key, FieldShape shape,
                         const char* kind) {
    std::optional<std::string> value = findFieldValue(text, key, shape);
    if (!value) throw std::runtime_error(std::string("Missing ") + kind + " field: " + key);
    return *value;
}

}  // namespace

std::string readTextFile(const fs::path& path) {
    File file = openFileForReading(path);
    if (!file) throw std::runtime_error("Unable to open file: " + textFromPath(path));
    std::string text;
    char buffer[1 << 16];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) text.append(buffer, got);
    // A folder opens for reading without error here and fails only when it is read.
    if (std::ferror(file.get()))
        throw std::runtime_error("Unable to open file: " + textFromPath(path));
    return text;
}

std::vector<std::string> splitJsonObjects(const std::string& text) {
    return scanJsonObjects(text).objects;
}

std::optional<std::string> findFieldValue(const std::string& text, const std::string& key,
                                          FieldShape shape) {
    const std::string token = '"' + key + '"';
    for (std::size_t at = text.find(token); at != std::string::npos;
         at = text.find(token, at + 1)) {
        if (std::optional<Span> span = valueAfterKey(text, at + token.size(), shape))
            return text.substr(span->begin, span->end - span->begin);
    }
    return std::nullopt;
}

std::string readStringField(const std::string& text, const std::string& key) {
    std::string value = decodeEscapes(requireValue(text, key, FieldShape::string, "string"));
    // The system would cut a name or an address at this byte and act on another file.
    if (value.find('\0') != std::string::npos)
        throw std::runtime_error("Invalid string field: " + key);
    return value;
}

std::int32_t readIntField(const std::string& text, const std::string& key) {
    const std::string digits = requireValue(text, key, FieldShape::integer, "integer");
    const bool negative = digits[0] == '-';
    const long long limit = negative ? 2147483648LL : 2147483647LL;
    long long value = 0;
    for (std::size_t i = negative ? 1 : 0; i < digits.size(); ++i) {
        value = value * 10 + (digits[i] - '0');
        // libstdc++'s own std::stoi would say only "stoi".
        if (value > limit) throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<std::int32_t>(negative ? -value : value);
}

double readNumberField(const std::string& text, const std::string& key) {
    const std::string digits = requireValue(text, key, FieldShape::number, "numeric");
    // from_chars always reads '.' as the decimal point, whatever the user's locale.
    double value = 0.0;
    const std::from_chars_result result =
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
    // Like strtod, a result that underflows to a subnormal or zero counts as out of range.
    if (result.ec == std::errc::result_out_of_range || (value != 0.0 && std::fabs(value) < DBL_MIN))
        throw std::out_of_range("stod argument out of range");
    return value;
}

bool readBoolField(const std::string& text, const std::string& key) {
    return requireValue(text, key, FieldShape::boolean, "boolean") == "true";
}

void requireCompleteServerFile(const std::string& text, const fs::path& path) {
    std::size_t begin = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    begin = skipSpaces(text, begin);
    std::size_t end = text.size();
    while (end > begin && isSpace(text[end - 1])) --end;
    // JSON text never holds a NUL byte; a compressed or binary body nearly always does.
    const bool binary = text.find('\0') != std::string::npos;
    const bool arrayCutShort = begin < end && text[begin] == '[' && text[end - 1] != ']';
    if (binary || arrayCutShort || scanJsonObjects(text).openAtEnd)
        throw std::runtime_error("Incomplete or invalid server file: " + textFromPath(path));
}

std::optional<std::string> findRawFieldValue(const std::string& text, const std::string& key) {
    const std::string quoted = "\"" + key + "\"";
    for (std::size_t at = text.find(quoted); at != std::string::npos;
         at = text.find(quoted, at + 1)) {
        std::size_t colon = skipSpaces(text, at + quoted.size());
        if (colon >= text.size() || text[colon] != ':') continue;
        std::size_t begin = skipSpaces(text, colon + 1);
        std::size_t end = text.find_first_of(",}]", begin);
        if (end == std::string::npos) end = text.size();
        while (end > begin && isSpace(text[end - 1])) --end;
        return text.substr(begin, end - begin);
    }
    return std::nullopt;
}
