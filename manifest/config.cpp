#include "manifest/config.h"

#include <cmath>
#include <stdexcept>

#include "app/update_run.h"
#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "manifest/signed_files.h"
#include "transfer/fetch.h"
#include "transfer/paths.h"

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

UpdaterConfig loadLocalConfig(UpdateRun& run) {
    const fs::path path = run.rootDir / pathFromText("nuvraconfig.json");
    if (!fileExists(path))
        throw std::runtime_error(
            "Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?");
    UpdaterConfig config = parseUpdaterConfig(path);
    config.nuvraVersion = updaterVersion;
    writeUpdaterConfig(path, config);
    return config;
}

bool updaterIsBehind(double localVersion, double remoteVersion) {
    // Comparing the truncated doubles equals comparing them as 32-bit integers inside that range,
    // and outside it needs no conversion that could overflow.
    return std::trunc(localVersion) < std::trunc(remoteVersion);
}

void checkUpdaterVersion(UpdateRun& run) {
    const std::string name = "nuvraconfigremote.json";
    const fs::path path = run.rootDir / pathFromText(name);
    fetchServerFile(run, name);
    const UpdaterConfig remote = parseServerConfig(path);
    if (updaterIsBehind(run.config.nuvraVersion, remote.nuvraVersion))
        throw std::runtime_error("Nuvra Updater needs an update! Grab the latest and try again.");
}
