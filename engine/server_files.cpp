#include "engine/server_files.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
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
#include "transfer/content_check.h"
#include "transfer/fetch.h"

namespace fs = std::filesystem;

namespace {

// Room for 100,000 entries many times over; a server file past it is refused while it arrives,
// so that neither the disk nor the memory of the reader fills up.
constexpr std::uint64_t serverFileLimit = 64ULL * 1024 * 1024;
// A public key file and its signature take a few hundred bytes.
constexpr std::uint64_t rotationFileLimit = 64 * 1024;
// Players' clocks are often off by hours; a day's slack keeps a fresh publication usable.
constexpr std::uint64_t expiryTolerance = 24 * 60 * 60;

// "2026-12-10", the day (UTC) of a time in seconds since 1970.
std::string dayOf(std::uint64_t time) {
    using namespace std::chrono;
    const year_month_day day{floor<days>(sys_seconds{seconds{static_cast<std::int64_t>(time)}})};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    return text;
}

// The words of a verified signature's trusted comment that hold for the whole publication.
void checkPublication(UpdateRun& run, const std::string& name, std::uint64_t sequence,
                      std::uint64_t expires) {
    const auto sinceEpoch = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    const auto now = static_cast<std::uint64_t>(sinceEpoch > 0 ? sinceEpoch : 0);
    // Compared without a sum, which a far-future expiry would overflow.
    if (expires != 0 && now > expires && now - expires > expiryTolerance)
        throw std::runtime_error("The server's signed files expired on " + dayOf(expires) +
                                 "; ask the server's admin to sign them again");
    // A file list from one publication beside a manifest from another would decide what is
    // deleted for modpaks it was never written for.
    if (!run.signedSequenceFile.empty() && sequence != run.signedSequence)
        throw std::runtime_error(
            "The server's signed files are from different publications: " + run.signedSequenceFile +
            " is signed with sequence " + std::to_string(run.signedSequence) + ", " + name +
            " with sequence " + std::to_string(sequence));
    const std::uint64_t accepted = acceptedSequence(run.rootDir, *run.pinnedKey);
    if (sequence < accepted)
        throw std::runtime_error("Refusing an older server manifest: " + name +
                                 " is signed with sequence " + std::to_string(sequence) +
                                 ", and this game folder already accepted sequence " +
                                 std::to_string(accepted));
    if (run.signedSequenceFile.empty()) run.signedSequenceFile = name;
    run.signedSequence = sequence;
}

// The detached signature of server file `name`, fetched beside it from the same place.
std::string fetchSignatureOf(const UpdateRun& run, const std::string& name, std::uint64_t limit) {
    const std::string signatureName = name + ".minisig";
    const fs::path signaturePath = run.rootDir / pathFromText(signatureName);
    const ContentCheck limited{std::nullopt, "", signatureName, limit};
    fetchFile(run.options.sourceDir, run.config.url + signatureName, signaturePath, &limited,
              nullptr, nullptr, BodyEncoding::compressed);
    return readTextFile(signaturePath);
}

}  // namespace

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

bool pinnedKeyIsBuiltIn() { return NUVRA_PUBLIC_KEY[0] != '\0'; }

void followKeyRotation(UpdateRun& run) {
    if (!run.pinnedKey) return;
    const std::string name = rotationFileName;
    const fs::path path = run.rootDir / pathFromText(name);
    const ContentCheck limited{std::nullopt, "", name, rotationFileLimit};
    if (!fetchFileIfPresent(run.options.sourceDir, run.config.url + name, path, &limited,
                            BodyEncoding::compressed))
        return;
    const std::string signature = fetchSignatureOf(run, name, rotationFileLimit);
    const std::string text = readTextFile(path);
    const std::optional<PublicKey> newKey = publicKeyFromFileText(text);
    if (!newKey)
        throw std::runtime_error("Invalid key rotation on the server: " + name +
                                 " is not a public key file");
    const PublicKey& pinned = *run.pinnedKey;
    // Left on the server for players who have not yet run since: the folder already follows it.
    if (newKey->keyId == pinned.keyId && newKey->key == pinned.key) return;
    const std::optional<SignatureParts> parts = parseSignature(signature);
    if (parts && parts->keyId != pinned.keyId)
        throw std::runtime_error("Refusing the key rotation on the server: the new key " +
                                 keyIdText(newKey->keyId) + " is signed by key " +
                                 keyIdText(parts->keyId) + ", not by this game folder's key " +
                                 keyIdText(pinned.keyId));
    const std::uint64_t sequence = verifySignature(text, signature, pinned, name);
    if (pinnedKeyIsBuiltIn())
        throw std::runtime_error("The server moved to a new key (" + keyIdText(newKey->keyId) +
                                 "), and this updater's key is built in; get an updater built "
                                 "with the new key");
    // The sequence first: should the run stop between the two writes, the old key is still
    // pinned and the next run follows the rotation again.
    recordAcceptedSequence(run.rootDir, *newKey, sequence);
    writeTextFile(run.rootDir / pathFromText("nuvraupdater.pub"), publicKeyFileText(*newKey));
    run.pinnedKey = newKey;
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
    const ContentCheck limited{std::nullopt, "", name, serverFileLimit};
    fetchFile(run.options.sourceDir, run.config.url + name, path, &limited, nullptr, nullptr,
              BodyEncoding::compressed);
    if (!run.pinnedKey) return;
    const std::string signature = fetchSignatureOf(run, name, serverFileLimit);
    const std::uint64_t sequence =
        verifySignature(readTextFile(path), signature, *run.pinnedKey, name);
    // Verified above: its trusted comment is the admin's own.
    const std::string comment = parseSignature(signature)->trustedComment;
    checkPublication(run, name, sequence, expiryOf(comment).value_or(0));
}

void loadManifests(UpdateRun& run) {
    const fs::path remotePath = run.rootDir / pathFromText("nuvramodremote1.json");
    fetchServerFile(run, "nuvramodremote1.json");
    std::vector<ModpakEntry> entries;
    std::vector<ModpakPromise> promises;
    const PromiseReading reading =
        run.pinnedKey ? PromiseReading::eachKey : PromiseReading::pairOnly;
    for (RemoteModpak& remote : parseRemoteModpakList(remotePath, reading)) {
        // The signature covers the manifest; only the hash carries it on to the modpak's bytes.
        if (run.pinnedKey && remote.promise.sha256.empty())
            throw std::runtime_error("Missing sha256 for modpak " +
                                     std::to_string(remote.entry.modPakNum) + ": " +
                                     remote.entry.name + " (signed server files must give one)");
        // Without a size, a server could send the promised file's bytes for ever.
        if (run.pinnedKey && !remote.promise.size)
            throw std::runtime_error("Missing size for modpak " +
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
    for (const char* name :
         {"nuvrafile.json", "nuvramodremote1.json", "nuvraconfigremote.json", rotationFileName}) {
        removeQuietly(run.rootDir / pathFromText(name));
        if (run.pinnedKey)
            removeQuietly(run.rootDir / pathFromText(std::string(name) + ".minisig"));
    }
}
