#pragma once
#include <cstdint>
#include <string>

// The updater's own version; also the one in the download user agent.
inline constexpr double updaterVersion = 6.0;

struct UpdaterConfig {
    std::string os;
    double nuvraVersion = 0.0;
    std::string url;  // base address; file names are appended with no separator
};

struct ModpakEntry {
    std::int32_t modPakNum = 0;
    std::string name;  // path relative to the root folder and suffix of the download URL
};

struct FileEntry {
    std::int32_t modPakNum = 0;
    std::string name;  // path relative to the root folder
    bool isDirectory = false;
};
