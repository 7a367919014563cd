#pragma once
#include <filesystem>
#include <vector>

#include "manifest/records.h"

struct UpdateRun;

// The entries of a modpak manifest, one per outermost object, in file order (duplicates kept).
// Raises "Unable to open file: <path>", "Missing integer field: modPakNum", "Missing string
// field: name", "stoi argument out of range", ...: the first failing object aborts the list.
std::vector<ModpakEntry> parseModpakList(const std::filesystem::path& path);
// The same for the file list, whose objects also need a boolean isDirectory ("Missing boolean
// field: isDirectory").
std::vector<FileEntry> parseFileList(const std::filesystem::path& path);

// Fetches "nuvramodremote1.json", then reads it, "nuvrafile.json" (already fetched) and, when it
// exists, "nuvramodlocal.json" into the run. A list is replaced only once its file read whole.
void loadManifests(UpdateRun& run);

// Removes "nuvrafile.json", "nuvramodremote1.json" and "nuvraconfigremote.json" from the root
// folder, ignoring every failure.
void removeRemoteFiles(UpdateRun& run);
