#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/records.h"

// The operations of nuvrapublish on a server folder: the folder whose files the updater fetches
// ("nuvraconfigremote.json", "nuvramodremote1.json", "nuvrafile.json" and the modpak files).
// Every file is written atomically; a failure raises runtime_error with the whole message and
// leaves the folder as it was, except for a modpak file already copied in by addModpak.

// Creates `dir` if needed and writes {"nuvraVersion":6,"url":URL,"os":"any"} and two empty lists.
// Raises "Already a server folder: <dir>" when any of the three files exists.
void initServer(const std::filesystem::path& dir, const std::string& url);

// Publishes `file` under its own name as the next modpak (the highest number plus one, 1 for the
// first): copies it into `dir` (unless the same bytes are already there), records its size and
// SHA-256, and records `retired` (names and kinds; their numbers are ignored) as removed before
// it is applied. Raises "Refusing unsafe name: <name>", "Refusing unsafe path to retire:
// <name>", "Already published as modpak <n>: <name>", "A different file named <name> is already
// in <dir>", the readers' errors for a server file the updater could not read, and copy errors.
RemoteModpak addModpak(const std::filesystem::path& dir, const std::filesystem::path& file,
                       const std::vector<FileEntry>& retired);

// Every problem an update from `dir` would meet, one line each, in file order; empty when none.
std::vector<std::string> checkServer(const std::filesystem::path& dir);

// Records the size and SHA-256 of every listed modpak file whose recorded ones differ or are
// missing, and returns those entries as now recorded. Raises "Missing file for modpak <n>:
// <name>" (writing nothing) and the readers' errors.
std::vector<RemoteModpak> rehashServer(const std::filesystem::path& dir);

// Names that differ only in case, which are two files on Linux and one on Windows: among each
// modpak's names (its retired paths, its archive's entries or, for another file, its own name,
// with the folders on their way) and against every earlier modpak's, in the manifest's order.
// One line per pair, later first: "Names differ only in case: data/X.pak (modpak 4) and
// Data/x.pak (modpak 2)". With `onlyModpak`, only the pairs whose later name is that modpak's.
// Unreadable server files and archives are left to checkServer.
std::vector<std::string> caseClashes(const std::filesystem::path& dir, std::int32_t onlyModpak = 0);
