#pragma once
#include <filesystem>

#include "engine/update_run.h"

inline constexpr const char* usageText =
    "Usage: nuvraupdater_cpp [--root PATH] [--source-dir PATH] [--headless]"
    " [--verify | --repair]\n";

// Result of reading the command line: either options to run with, or "print the usage".
struct CommandLine {
    LaunchOptions options;
    bool helpRequested = false;
};

// Reads argv[1..argc-1] in order over `defaultRoot`. Raises runtime_error "--root requires a
// path", "--source-dir requires a path" or "Unknown option: <arg>".
CommandLine parseCommandLine(int argc, const char* const* argv, std::filesystem::path defaultRoot);
