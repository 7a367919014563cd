#pragma once
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "manifest/records.h"

// One file that a modpak put in place, as it was when it was written.
struct InstalledFile {
    std::uint64_t size = 0;
    std::string sha256;  // 64 lower-case hex digits
    std::int32_t modPakNum = 0;
};

// "nuvrainstalled.json": the modpaks whose files are recorded (number and name, as in the local
// manifest), and every file they put in place that no later modpak took over or retired, by
// recordedName.
struct InstalledRecord {
    std::vector<ModpakEntry> modpaks;
    std::map<std::string, InstalledFile> files;
};

// A path relative to the game folder as the record spells it: UTF-8, components joined by '/',
// "." components dropped. UTF-8 rather than the text of the other files, so that an archive
// entry whose name the ANSI code page lacks is still recorded under its own name.
std::string recordedName(const std::filesystem::path& relative);
std::filesystem::path pathFromRecordedName(const std::string& name);
// recordedName of a relative path given as its native text.
std::string recordedNameOfNative(const std::filesystem::path::string_type& text);

// Removes `name` and every recorded file below it.
void forgetRecordedTree(InstalledRecord& record, const std::string& name);

// True when the record lists the modpak (same number and byte-identical name).
bool isRecordedModpak(const InstalledRecord& record, const ModpakEntry& entry);

// One object a line, the modpaks first:
// [
// {"modPakNum":1,"name":"core.7z"},
// {"modPakNum":1,"size":5,"sha256":"...","path":"data/core.pak"}
// ]
// Replaced atomically as writeTextFile does.
void writeInstalledRecord(const std::filesystem::path& path, const InstalledRecord& record);

// A record of installed files that cannot be read as one.
struct InvalidRecord : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads what writeInstalledRecord wrote; objects with "sha256" are files, the others modpaks.
// Raises "Unable to open file: <path>" and "Invalid record of installed files: <path>".
InstalledRecord readInstalledRecord(const std::filesystem::path& path);
