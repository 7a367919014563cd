#pragma once
#include <filesystem>

#include "manifest/records.h"

struct UpdateRun;

// Reads os, url and nuvraVersion (in that order) from a configuration file.
UpdaterConfig parseUpdaterConfig(const std::filesystem::path& path);

// Finds, reads and rewrites "nuvraconfig.json" in the root folder with the updater's version.
// Raises "Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?" and the
// reader's and writer's errors; a file that fails to parse is not rewritten.
UpdaterConfig loadLocalConfig(UpdateRun& run);

// Fetches "nuvraconfigremote.json" into the root folder and raises "Nuvra Updater needs an
// update! Grab the latest and try again." when the server's integer version is ahead of ours.
void checkUpdaterVersion(UpdateRun& run);
