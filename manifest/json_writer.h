#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/records.h"

// Escapes tab, line feed, carriage return, double quote and backslash; every other byte is kept.
std::string escapeJsonString(const std::string& text);

// Replaces `path` atomically with exactly `bytes` (through "<path>.tmp", synced, then renamed).
// On any failure raises "Unable to write file: <path>", leaves the old file intact and removes
// the temporary file.
void writeTextFile(const std::filesystem::path& path, const std::string& bytes);

// {"nuvraVersion":6,"url":"...","os":"..."} with no trailing newline.
void writeUpdaterConfig(const std::filesystem::path& path, const UpdaterConfig& config);

// [{"modPakNum":1,"name":"..."},...] with no trailing newline.
void writeLocalManifest(const std::filesystem::path& path, const std::vector<ModpakEntry>& list);

// The server's modpak manifest, one object a line, with "size" and "sha256" where the entry has
// them: [\n{"modPakNum":1,"name":"...","size":N,"sha256":"..."},\n...\n] and a final newline.
void writeRemoteManifest(const std::filesystem::path& path, const std::vector<RemoteModpak>& list);

// The server's file list, one object a line: {"modPakNum":3,"name":"...","isDirectory":false}.
void writeFileList(const std::filesystem::path& path, const std::vector<FileEntry>& list);
