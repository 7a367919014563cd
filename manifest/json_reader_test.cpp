#include "manifest/json_reader.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <optional>
#include <random>
#include <regex>
#include <stdexcept>

#include "manifest/json_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

using Objects = std::vector<std::string>;

std::string stringField(const std::string& text, const std::string& key = "name") {
    return readStringField(text, key);
}

}  // namespace

TEST(JsonReader, ReadTextFileKeepsEveryByte) {
    TempDir temp;
    const std::string bytes = std::string("\xEF\xBB\xBF{\"a\":1}\r\n\0\xFF", 13);
    writeFileBytes(temp.path() / "f.json", bytes);
    EXPECT_EQ(bytes, readTextFile(temp.path() / "f.json"));
    writeFileBytes(temp.path() / "empty.json", "");
    EXPECT_EQ("", readTextFile(temp.path() / "empty.json"));
    const std::string large(300000, 'x');  // more than one read buffer
    writeFileBytes(temp.path() / "large.json", large);
    EXPECT_EQ(large, readTextFile(temp.path() / "large.json"));
}

TEST(JsonReader, ReadTextFileRefusesMissingFilesAndFolders) {
    TempDir temp;
    const fs::path missing = temp.path() / "nuvrafile.json";
    EXPECT_EQ("Unable to open file: " + missing.string(),
              thrownMessage([&] { readTextFile(missing); }));
    const fs::path folder = temp.path() / "nuvramodlocal.json";
    fs::create_directory(folder);
    EXPECT_EQ("Unable to open file: " + folder.string(),
              thrownMessage([&] { readTextFile(folder); }));
}

TEST(JsonReader, SplitYieldsOutermostObjectsInOrder) {
    EXPECT_EQ((Objects{R"({"modPakNum":1})", R"({"modPakNum":2})"}),
              splitJsonObjects(R"([{"modPakNum":1}, {"modPakNum":2}])"));
    EXPECT_EQ((Objects{R"({"list":[{"modPakNum":1}]})"}),
              splitJsonObjects(R"({"list":[{"modPakNum":1}]})"));
    EXPECT_EQ((Objects{"{}", R"({"a":{"b":{}}})"}), splitJsonObjects(R"(x {} , {"a":{"b":{}}} y)"));
    EXPECT_EQ(Objects{}, splitJsonObjects(""));
    EXPECT_EQ(Objects{}, splitJsonObjects("[1, 2, \"three\"]"));
}

TEST(JsonReader, SplitIgnoresBracesInsideStrings) {
    EXPECT_EQ((Objects{R"({"name":"a}b"})"}), splitJsonObjects(R"([{"name":"a}b"}])"));
    EXPECT_EQ((Objects{R"({"name":"say \"}\" {"})", R"({"b":2})"}),
              splitJsonObjects(R"([{"name":"say \"}\" {"},{"b":2}])"));
    EXPECT_EQ((Objects{R"({"name":"a\\"})", R"({"b":"}"})"}),
              splitJsonObjects(R"({"name":"a\\"}{"b":"}"})"));
    // Strings are tracked outside objects too; a backslash there means nothing.
    EXPECT_EQ((Objects{R"({"a":1})"}), splitJsonObjects(R"("{" \{"a":1})"));
}

TEST(JsonReader, SplitDropsUnclosedObjectsAndWaitsOutStrayClosingBraces) {
    EXPECT_EQ((Objects{R"({"a":1})"}), splitJsonObjects(R"([{"a":1},{"b":2)"));
    EXPECT_EQ(Objects{}, splitJsonObjects(R"({"a":"}")"));
    EXPECT_EQ(Objects{}, splitJsonObjects(R"(} {"modPakNum":1})"));
    EXPECT_EQ(Objects{}, splitJsonObjects(R"(} {"a":1} {"b":2})"));
    // Back at depth 0 only after an extra '{': the next one opens an object.
    EXPECT_EQ((Objects{R"({"b":2})"}), splitJsonObjects(R"(} { {"b":2})"));
}

TEST(JsonReader, SplitSurvivesDeepNesting) {
    const std::string deep = std::string(100000, '{') + std::string(100000, '}');
    EXPECT_EQ(Objects{deep}, splitJsonObjects(deep));
}

TEST(JsonReader, StringFieldShapes) {
    EXPECT_EQ("a.7z", stringField(R"({"modPakNum":3,"name":"a.7z"})"));
    EXPECT_EQ("x", stringField("{\"name\" :\t\"x\"}"));
    EXPECT_EQ("x", stringField("{\"name\"\r\n\v\f:\n \"x\"}"));
    EXPECT_EQ("", stringField(R"({"name":""})"));
    EXPECT_EQ("two\nlines", stringField("{\"name\":\"two\nlines\"}"));
    EXPECT_EQ(R"(say "hi")", stringField(R"({"name":"say \"hi\"","x":1})"));
    EXPECT_EQ("\xEF\xBB\xBF\xFF\xC3",
              stringField("\xEF\xBB\xBF{\"name\":\"\xEF\xBB\xBF\xFF\xC3\"}"));
    EXPECT_EQ("inner", stringField(R"({"a":{"name":"inner"},"name":"outer"})"));
    // A key of the wrong shape is skipped in favour of a later one of the right shape.
    EXPECT_EQ("late", stringField(R"({"name":1,"name" "x","name":"late"})"));
}

TEST(JsonReader, EachGetterNamesItsKeyWhenMissing) {
    EXPECT_EQ("Missing string field: name", thrownMessage([] { stringField(""); }));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([] { stringField(R"({"filename":"x","names":"y","name":3})"); }));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([] { stringField(R"({"name":"never closed)"); }));
    EXPECT_EQ("Missing string field: url",
              thrownMessage([] { stringField("{'url':'x'}", "url"); }));
    EXPECT_EQ("Missing integer field: modPakNum",
              thrownMessage([] { readIntField(R"({"modPakNum":"3"})", "modPakNum"); }));
    EXPECT_EQ("Missing integer field: modPakNum",
              thrownMessage([] { readIntField(R"({"modPakNum":+5})", "modPakNum"); }));
    EXPECT_EQ("Missing integer field: modPakNum",
              thrownMessage([] { readIntField(R"({"modPakNum":-x})", "modPakNum"); }));
    EXPECT_EQ("Missing numeric field: nuvraVersion",
              thrownMessage([] { readNumberField(R"({"nuvraVersion":.5})", "nuvraVersion"); }));
    EXPECT_EQ("Missing numeric field: nuvraVersion",
              thrownMessage([] { readNumberField(R"({"nuvraVersion":null})", "nuvraVersion"); }));
    EXPECT_EQ("Missing boolean field: isDirectory",
              thrownMessage([] { readBoolField(R"({"isDirectory":0})", "isDirectory"); }));
    EXPECT_EQ("Missing boolean field: isDirectory",
              thrownMessage([] { readBoolField(R"({"isDirectory":TRUE})", "isDirectory"); }));
    EXPECT_EQ("Missing boolean field: isDirectory",
              thrownMessage([] { readBoolField(R"({"isDirectory":"true"})", "isDirectory"); }));
}

TEST(JsonReader, NumbersAndBooleansMayStopInsideLongerTokens) {
    EXPECT_EQ(12, readIntField(R"({"modPakNum":12.7})", "modPakNum"));
    EXPECT_EQ(-5, readIntField(R"({"modPakNum" : -5})", "modPakNum"));
    EXPECT_EQ(7, readIntField(R"({"modPakNum":0007})", "modPakNum"));
    EXPECT_EQ(1.0, readNumberField(R"({"nuvraVersion":1e3})", "nuvraVersion"));
    EXPECT_EQ(6.0, readNumberField(R"({"nuvraVersion":6.})", "nuvraVersion"));
    EXPECT_EQ(-0.25, readNumberField(R"({"nuvraVersion":-0.25})", "nuvraVersion"));
    EXPECT_TRUE(readBoolField(R"({"isDirectory":trueish})", "isDirectory"));
    EXPECT_FALSE(readBoolField(R"({"isDirectory":false})", "isDirectory"));
}

TEST(JsonReader, ConversionsOutOfRangeUseTheStandardWording) {
    EXPECT_EQ(2147483647, readIntField(R"({"n":2147483647})", "n"));
    EXPECT_EQ(-2147483647 - 1, readIntField(R"({"n":-2147483648})", "n"));
    for (const std::string& value : std::vector<std::string>{
             "2147483648", "-2147483649", "99999999999", std::string(1 << 20, '9')}) {
        EXPECT_EQ("stoi argument out of range",
                  thrownMessage([&] { readIntField("{\"n\":" + value + "}", "n"); }));
        try {
            readIntField("{\"n\":" + value + "}", "n");
        } catch (const std::out_of_range&) {
            continue;
        }
        ADD_FAILURE() << "not an out_of_range for " << value.substr(0, 20);
    }
    const std::string huge = std::string(400, '9') + ".5";
    const std::string tiny = "0." + std::string(400, '0') + "1";
    const std::string subnormal = "0." + std::string(309, '0') + "1";
    for (const std::string& value : std::vector<std::string>{huge, tiny, subnormal}) {
        EXPECT_EQ("stod argument out of range",
                  thrownMessage([&] { readNumberField("{\"v\":" + value + "}", "v"); }));
        EXPECT_THROW(readNumberField("{\"v\":" + value + "}", "v"), std::out_of_range);
    }
    EXPECT_EQ(0.0, readNumberField("{\"v\":0." + std::string(400, '0') + "}", "v"));
}

TEST(JsonReader, NumbersReadAcrossTheirWholeRange) {
    auto printed = [](const char* format, double value) {
        char text[1100];
        std::snprintf(text, sizeof text, format, value);
        return std::string(text);
    };
    for (double value : {DBL_MAX, -DBL_MAX, DBL_MIN, -DBL_MIN, 1e308, 2147483648.0, 1e-300}) {
        // Every digit of the value, without an exponent, which the reader does not take.
        const std::string digits = printed(std::fabs(value) >= 1 ? "%.0f" : "%.1000f", value);
        EXPECT_EQ(value, readNumberField("{\"v\":" + digits + "}", "v")) << digits;
    }
}

// The number conversions must give the same values and refusals as std::stoi and std::stod do
// in the classic locale, only with the full out-of-range texts.
TEST(JsonReader, ConversionsAgreeWithTheStandardOnes) {
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string digits = random() % 2 ? "-" : "";
        const auto length = static_cast<unsigned>(1 + random() % (round % 2 ? 12 : 330));
        const bool leadingZeros = random() % 3 == 0;
        for (unsigned i = 0; i < length; ++i)
            digits += static_cast<char>('0' + (leadingZeros && i < length - 1 ? 0 : random() % 10));
        std::string expected;
        try {
            expected = std::to_string(std::stoi(digits));
        } catch (const std::out_of_range&) {
            expected = "stoi argument out of range";
        }
        std::string actual;
        try {
            actual = std::to_string(readIntField("{\"n\":" + digits + "}", "n"));
        } catch (const std::out_of_range& error) {
            actual = error.what();
        }
        ASSERT_EQ(expected, actual) << digits;

        const std::string number = random() % 2 ? digits
                                                : digits + "." + std::string(random() % 20, '0') +
                                                      std::to_string(random());
        std::optional<double> standard;
        try {
            standard = std::stod(number);
        } catch (const std::out_of_range&) {
        }
        std::optional<double> ours;
        std::string refusal;
        try {
            ours = readNumberField("{\"v\":" + number + "}", "v");
        } catch (const std::out_of_range& error) {
            refusal = error.what();
        }
        ASSERT_EQ(standard, ours) << number;
        ASSERT_EQ(standard ? "" : "stod argument out of range", refusal) << number;
    }
}

TEST(JsonReader, StringValuesComeBackWithEscapesDecoded) {
    EXPECT_EQ("q\"b\\n\nr\rt\t/", stringField(R"({"name":"q\"b\\n\nr\rt\t\/"})"));
    EXPECT_EQ("caf\xC3\xA9 \xE2\x82\xAC \x7F",
              stringField(R"({"name":"caf\u00e9 \u20AC \u007f"})"));
    EXPECT_EQ("\xF0\x9F\x98\x80", stringField(R"({"name":"\uD83D\uDE00"})"));
    // What is not a known escape stays as written.
    EXPECT_EQ(R"(\b\f\x\u12G4\uD83D.\uDE00\u00)",
              stringField(R"({"name":"\b\f\x\u12G4\uD83D.\uDE00\u00"})"));
    // With no closing quote but an escaped one, the search closes on the escaped quote.
    EXPECT_EQ("ends\\", stringField("{\"name\":\"ends\\\""));
    EXPECT_EQ("a\\\nb", stringField("{\"name\":\"a\\\nb\"}"));
}

TEST(JsonReader, StringValuesMustNotHoldNulBytes) {
    EXPECT_EQ("Invalid string field: name",
              thrownMessage([] { stringField(std::string("{\"name\":\"a\0b\"}", 13)); }));
    EXPECT_EQ("Invalid string field: url",
              thrownMessage([] { stringField(R"({"url":"http://h/\u0000.json"})", "url"); }));
    // A NUL elsewhere in the text does not matter.
    EXPECT_EQ("ok", stringField(std::string("\0{\"name\":\"ok\"}\0", 16)));
}

TEST(JsonReader, ReadingWhatWasWrittenGivesTheSameBytes) {
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte.push_back(static_cast<char>(c));
    for (const std::string& value :
         {std::string(R"(a"b\c)"), std::string("tab\tline\ncr\r"), std::string(R"(\u0041\/\"\\)"),
          std::string("\\"), std::string("\\\\\"\""), everyByte}) {
        std::string current = value;
        for (int round = 0; round < 3; ++round)
            current = stringField("{\"name\":\"" + escapeJsonString(current) + "\"}");
        EXPECT_EQ(value, current);
    }
}

TEST(JsonReader, HugeValuesEndInAValueOrAnOrderlyError) {
    const std::string big(1 << 20, 'x');
    EXPECT_EQ(big, stringField("{\"name\":\"" + big + "\"}"));
    const std::string escapes = [] {
        std::string text;
        for (int i = 0; i < (1 << 19); ++i) text += "\\\"";
        return text;
    }();
    EXPECT_EQ(std::string(1 << 19, '"'), stringField("{\"name\":\"" + escapes + "\"}"));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([&] { stringField("{\"name\":\"" + big); }));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([&] { stringField("{\"name\":" + std::string(1 << 20, ' ') + "1}"); }));
    const std::string manyKeys = [] {
        std::string text;
        for (int i = 0; i < 100000; ++i) text += "\"name\" \"name\":1,";
        return text;
    }();
    EXPECT_EQ("Missing string field: name", thrownMessage([&] { stringField(manyKeys); }));
    EXPECT_EQ(1, readIntField(manyKeys, "name"));
}

// The matcher replaces an ECMAScript regular expression search for the specified patterns; on
// short texts, where the standard library's recursive engine is safe, both must capture the same.
TEST(JsonReader, FieldSearchMatchesTheRegularExpressions) {
    const std::pair<FieldShape, std::string> patterns[] = {
        {FieldShape::string, R"re("a"\s*:\s*"((?:\\.|[^"])*)")re"},
        {FieldShape::integer, R"re("a"\s*:\s*(-?[0-9]+))re"},
        {FieldShape::number, R"re("a"\s*:\s*(-?[0-9]+(?:\.[0-9]+)?))re"},
        {FieldShape::boolean, R"re("a"\s*:\s*(true|false))re"},
    };
    const std::string pieces[] = {"\"a\"",
                                  "\"a\":",
                                  "\"a\" : ",
                                  "\"",
                                  "\\",
                                  "\\\"",
                                  "\\\\",
                                  ":",
                                  " ",
                                  "\n",
                                  "\r",
                                  "\t",
                                  "\v",
                                  "-",
                                  "-1",
                                  ".",
                                  "5",
                                  "12",
                                  "true",
                                  "\"v\"",
                                  "7",
                                  "true",
                                  "false",
                                  "\"a\":\"",
                                  "fals",
                                  "false",
                                  "a",
                                  "x",
                                  "{",
                                  "}",
                                  std::string(1, '\0'),
                                  "\xFF",
                                  "\\\n",
                                  "\\u00"};
    std::mt19937 random(11);
    for (const auto& [shape, pattern] : patterns) {
        const std::regex expression(pattern);
        int matches = 0;
        for (int round = 0; round < 40000; ++round) {
            std::string text = random() % 2 ? "\"a\":" : "";
            for (auto count = static_cast<unsigned>(random() % 9); count > 0; --count)
                text += pieces[random() % std::size(pieces)];
            std::smatch match;
            const bool found = std::regex_search(text, match, expression);
            const std::optional<std::string> value = findFieldValue(text, "a", shape);
            ASSERT_EQ(found, value.has_value()) << '[' << text << ']';
            if (found) {
                ASSERT_EQ(match[1].str(), *value) << '[' << text << ']';
                ++matches;
            }
        }
        // The generator must reach matching texts of every shape, not only misses.
        EXPECT_GT(matches, 2500) << pattern;
    }
}
