#pragma once
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/records.h"

// The entries of a modpak manifest, one per outermost object, in file order (duplicates kept).
// Raises "Unable to open file: <path>", "Missing integer field: modPakNum", "Missing string
// field: name", "stoi argument out of range", ...: the first failing object aborts the list.
std::vector<ModpakEntry> parseModpakList(const std::filesystem::path& path);
// How a modpak's promise is read: only as the pair of "size" and "sha256" (either alone is
// ignored), or each key as written, for signed server files, which must give both.
enum class PromiseReading { pairOnly, eachKey };

// The server's modpak manifest: as parseModpakList, but the file must be complete
// (requireCompleteServerFile), and each object's optional "size" (decimal digits, up to
// 2^64 - 1) and "sha256" (a string of 64 hex digits, either case) are read as `reading` says; a
// malformed one that is read raises "Invalid size for modpak <n>: <name>" or "Invalid sha256 for
// modpak <n>: <name>".
std::vector<RemoteModpak> parseRemoteModpakList(const std::filesystem::path& path,
                                                PromiseReading reading = PromiseReading::pairOnly);
// The same for the file list, whose objects also need a boolean isDirectory ("Missing boolean
// field: isDirectory").
std::vector<FileEntry> parseFileList(const std::filesystem::path& path);
// The server's file list: parseFileList of a file that must be complete
// (requireCompleteServerFile).
std::vector<FileEntry> parseServerFileList(const std::filesystem::path& path);
// The file list's entries from its text, read as parseFileList reads them.
std::vector<FileEntry> fileListFromText(const std::string& text);

// A modpak named so is a 7-Zip archive that is unpacked into the game folder; any other modpak is
// the file itself.
bool isSevenZipName(const std::string& name);
