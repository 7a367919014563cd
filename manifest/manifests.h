#pragma once
#include <filesystem>
#include <vector>

#include "manifest/records.h"

struct UpdateRun;

std::vector<ModpakEntry> parseModpakList(const std::filesystem::path& path);
std::vector<FileEntry> parseFileList(const std::filesystem::path& path);

// Fetches "nuvramodremote1.json", then reads it, "nuvrafile.json" (already fetched) and, when it
// exists, "nuvramodlocal.json" into the run. A list is replaced only once its file read whole.
void loadManifests(UpdateRun& run);

// Removes "nuvrafile.json", "nuvramodremote1.json" and "nuvraconfigremote.json" from the root
// folder, ignoring every failure.
void removeRemoteFiles(UpdateRun& run);
