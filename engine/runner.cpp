#include "engine/runner.h"

#include <exception>
#include <filesystem>
#include <string>

#include "app/update_run.h"
#include "engine/byte_progress.h"
#include "engine/cleanup.h"
#include "engine/pending.h"
#include "manifest/json_writer.h"
#include "manifest/manifests.h"
#include "transfer/content_check.h"
#include "transfer/extract.h"
#include "transfer/fetch.h"
#include "transfer/paths.h"
#include "transfer/safe_path.h"
#include "ui/notifications.h"

namespace fs = std::filesystem;

namespace {

bool isSevenZipName(const std::string& name) {
    return name.size() >= 3 && name.compare(name.size() - 3, 3, ".7z") == 0;
}

void applyModpak(UpdateRun& run, const ModpakEntry& entry, const ModpakPromise& promise, int step,
                 int total) {
    const std::string number = std::to_string(entry.modPakNum);
    reportProgress(run, {step, total, "Cleaning up for modpak " + number});
    // Refuse a hostile name before anything is removed for it.
    safeTargetPath(run.rootDir, entry.name, entry.modPakNum);
    cleanupModpak(run, entry.modPakNum);

    reportProgress(run, {step + 1, total, "Fetching modpak " + number});
    // Checked again: the cleanup may have changed what the name's folders resolve to.
    fs::path destination = safeTargetPath(run.rootDir, entry.name, entry.modPakNum);
    createDirectories(destination.parent_path());
    const ByteProgress fetching =
        windowByteProgress(run, step + 1, total, "Fetching modpak " + number, true);
    const ByteProgress* fetchProgress = fetching ? &fetching : nullptr;
    if (promise.size || !promise.sha256.empty()) {
        ContentCheck check{promise.size, promise.sha256, "modpak " + number + ": " + entry.name};
        fetchFile(run, run.config.url + entry.name, destination, &check, fetchProgress);
    } else {
        fetchFile(run, run.config.url + entry.name, destination, nullptr, fetchProgress);
    }

    reportProgress(run, {step + 1, total, "Applying modpak " + number});
    if (isSevenZipName(entry.name)) {
        const ByteProgress unpacking =
            windowByteProgress(run, step + 1, total, "Applying modpak " + number, false);
        extractArchive(destination, run.rootDir, unpacking ? &unpacking : nullptr);
        removeQuietly(destination);
    }
    run.localModpaks.push_back(entry);
    writeLocalManifest(run.rootDir / pathFromText("nuvramodlocal.json"), run.localModpaks);
    reportProgress(run, {step + 2, total, "Applied modpak " + number});
}

}  // namespace

void runUpdate(UpdateRun& run) {
    try {
        const int pending = countPendingModpaks(run);
        const int total = 2 * pending;
        reportProgress(run, {0, total, "Starting"});
        if (pending == 0) {
            removeRemoteFiles(run);
            reportCompletion(run, "Update complete! You are already up to date.");
            return;
        }
        int step = 0;
        // By index and by copy: the loop appends to localModpaks, never to remoteModpaks, but a
        // copy keeps the entry stable whatever the steps do.
        for (std::size_t i = 0; i < run.remoteModpaks.size(); ++i) {
            const ModpakEntry entry = run.remoteModpaks[i];
            if (containsModpak(run.localModpaks, entry))
                continue;
            // A list set without promises (never by loadManifests) checks nothing.
            const ModpakPromise promise =
                i < run.remotePromises.size() ? run.remotePromises[i] : ModpakPromise{};
            applyModpak(run, entry, promise, step, total);
            step += 2;
        }
        removeRemoteFiles(run);
        reportCompletion(run, "Update complete! You are all set to connect.");
    } catch (const std::exception& error) {
        reportFailure(run, error.what());
    }
}
