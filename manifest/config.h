#pragma once
#include <filesystem>
#include <string>

#include "manifest/records.h"

// Reads os, url and nuvraVersion (in that order) from a configuration file. Raises the reader's
// errors ("Unable to open file: <path>", "Missing string field: os", ...).
UpdaterConfig parseUpdaterConfig(const std::filesystem::path& path);
// The server's configuration: parseUpdaterConfig of a file that must be complete
// (requireCompleteServerFile).
UpdaterConfig parseServerConfig(const std::filesystem::path& path);
// The configuration from a file's text, read as parseUpdaterConfig reads it.
UpdaterConfig updaterConfigFromText(const std::string& text);

// True when the integer part (truncated toward zero) of `remoteVersion` is greater than that of
// `localVersion`. A remote version beyond the 32-bit range counts by its sign: 2147483648 or more
// is ahead of every local version, -2147483649 or less behind.
bool updaterIsBehind(double localVersion, double remoteVersion);
