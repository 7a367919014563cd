#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The whole file as bytes. Raises "Unable to open file: <path>" when it is missing, a folder or
// unreadable.
std::string readTextFile(const std::filesystem::path& path);

// Texts of the outermost {...} objects in order; braces inside string literals do not count.
std::vector<std::string> splitJsonObjects(const std::string& text);

// The first `"key" : value` of the right shape anywhere in `text`. Each raises
// "Missing <kind> field: <key>" when there is none.
// String values come back with their JSON escapes decoded; a NUL byte raises
// "Invalid string field: <key>".
std::string readStringField(const std::string& text, const std::string& key);
// Raises std::out_of_range "stoi argument out of range" outside the 32-bit range.
std::int32_t readIntField(const std::string& text, const std::string& key);
// Raises std::out_of_range "stod argument out of range" outside the range of a double.
double readNumberField(const std::string& text, const std::string& key);
bool readBoolField(const std::string& text, const std::string& key);

// The value shapes the getters look for after `"key"`, whitespace, a colon and whitespace:
// string `"((?:\\.|[^"])*)"`, integer `(-?[0-9]+)`, number `(-?[0-9]+(?:\.[0-9]+)?)`,
// boolean `(true|false)`; `\s` is space, \t, \n, \v, \f or \r.
enum class FieldShape { string, integer, number, boolean };

// The raw bytes of the value of the leftmost match, exactly what an ECMAScript regular
// expression search for that pattern captures (escapes not decoded); nullopt when none matches.
// Runs in linear time and constant stack depth whatever the input.
std::optional<std::string> findFieldValue(const std::string& text, const std::string& key,
                                          FieldShape shape);

// Raises "Incomplete or invalid server file: <path>" when `text`, read as a server's file, was cut
// short or is not text: an object or a string literal is still open at its end, its first
// non-blank character (past a UTF-8 byte-order mark) is '[' and its last is not ']', or it holds
// a NUL byte. Any other text reads as its objects: an array, a bare sequence of objects with
// anything between them, one object, or no object at all (an empty list).
void requireCompleteServerFile(const std::string& text, const std::filesystem::path& path);

// The raw text of the first `"key" : value` in `text`, the value running to the next comma,
// closing brace or bracket, trailing white space removed; nullopt when the key is absent.
std::optional<std::string> findRawFieldValue(const std::string& text, const std::string& key);
