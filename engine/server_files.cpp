#include "engine/server_files.h"

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "engine/update_run.h"
#include "manifest/config.h"
#include "manifest/json_reader.h"
#include "manifest/json_writer.h"
#include "manifest/manifests.h"
#include "manifest/signature.h"
#include "manifest/signed_files.h"
#include "platform/paths.h"
#include "transfer/fetch.h"

namespace fs = std::filesystem;

UpdaterConfig loadLocalConfig(const fs::path& rootDir) {
    const fs::path path = rootDir / pathFromText("nuvraconfig.json");
    if (!fileExists(path))
        throw std::runtime_error(
            "Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?");
    UpdaterConfig config = parseUpdaterConfig(path);
    config.nuvraVersion = updaterVersion;
    writeUpdaterConfig(path, config);
    return config;
}

std::optional<PublicKey> loadPinnedKey(const fs::path& rootDir) {
    return pinnedKeyFrom(rootDir, NUVRA_PUBLIC_KEY);
}

void checkUpdaterVersion(UpdateRun& run) {
    const std::string name = "nuvraconfigremote.json";
    const fs::path path = run.rootDir / pathFromText(name);
    fetchServerFile(run, name);
    const UpdaterConfig remote = parseServerConfig(path);
    if (updaterIsBehind(run.config.nuvraVersion, remote.nuvraVersion))
        throw std::runtime_error("Nuvra Updater needs an update! Grab the latest and try again.");
}

void fetchServerFile(UpdateRun& run, const std::string& name) {
    const fs::path path = run.rootDir / pathFromText(name);
    // JSON shrinks several times over when a server or its CDN compresses it.
    fetchFile(run.options.sourceDir, run.config.url + name, path, nullptr, nullptr, nullptr,
              BodyEncoding::compressed);
    if (!run.pinnedKey) return;
    const std::string signatureName = name + ".minisig";
    const fs::path signaturePath = run.rootDir / pathFromText(signatureName);
    fetchFile(run.options.sourceDir, run.config.url + signatureName, signaturePath, nullptr,
              nullptr, nullptr, BodyEncoding::compressed);
    const std::uint64_t sequence =
        verifySignature(readTextFile(path), readTextFile(signaturePath), *run.pinnedKey, name);
    const std::uint64_t accepted = acceptedSequence(run.rootDir, *run.pinnedKey);
    if (sequence < accepted)
        throw std::runtime_error("Refusing an older server manifest: " + name +
                                 " is signed with sequence " + std::to_string(sequence) +
                                 ", and this game folder already accepted sequence " +
                                 std::to_string(accepted));
    run.signedSequence = std::max(run.signedSequence, sequence);
}

void loadManifests(UpdateRun& run) {
    const fs::path remotePath = run.rootDir / pathFromText("nuvramodremote1.json");
    fetchServerFile(run, "nuvramodremote1.json");
    std::vector<ModpakEntry> entries;
    std::vector<ModpakPromise> promises;
    for (RemoteModpak& remote : parseRemoteModpakList(remotePath)) {
        // The signature covers the manifest; only the hash carries it on to the modpak's bytes.
        if (run.pinnedKey && remote.promise.sha256.empty())
            throw std::runtime_error("Missing sha256 for modpak " +
                                     std::to_string(remote.entry.modPakNum) + ": " +
                                     remote.entry.name + " (signed server files must give one)");
        entries.push_back(std::move(remote.entry));
        promises.push_back(std::move(remote.promise));
    }
    run.remoteModpaks = std::move(entries);
    run.remotePromises = std::move(promises);
    run.fileEntries = parseServerFileList(run.rootDir / pathFromText("nuvrafile.json"));
    const fs::path localPath = run.rootDir / pathFromText("nuvramodlocal.json");
    if (fileExists(localPath)) run.localModpaks = parseModpakList(localPath);
    // Only once all three files have passed: a refused run records nothing.
    if (run.pinnedKey) recordAcceptedSequence(run.rootDir, *run.pinnedKey, run.signedSequence);
}

void removeRemoteFiles(UpdateRun& run) {
    for (const char* name : {"nuvrafile.json", "nuvramodremote1.json", "nuvraconfigremote.json"}) {
        removeQuietly(run.rootDir / pathFromText(name));
        if (run.pinnedKey)
            removeQuietly(run.rootDir / pathFromText(std::string(name) + ".minisig"));
    }
}
