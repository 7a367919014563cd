#include "manifest/config.h"

#include <cmath>
#include <stdexcept>

#include "manifest/json_reader.h"
#include "platform/paths.h"

namespace fs = std::filesystem;

UpdaterConfig parseUpdaterConfig(const fs::path& path) {
    return updaterConfigFromText(readTextFile(path));
}

UpdaterConfig parseServerConfig(const fs::path& path) {
    const std::string text = readTextFile(path);
    requireCompleteServerFile(text, path);
    return updaterConfigFromText(text);
}

UpdaterConfig updaterConfigFromText(const std::string& text) {
    UpdaterConfig config;
    config.os = readStringField(text, "os");
    config.url = readStringField(text, "url");
    config.nuvraVersion = readNumberField(text, "nuvraVersion");
    return config;
}

bool updaterIsBehind(double localVersion, double remoteVersion) {
    // Comparing the truncated doubles equals comparing them as 32-bit integers inside that range,
    // and outside it needs no conversion that could overflow.
    return std::trunc(localVersion) < std::trunc(remoteVersion);
}
