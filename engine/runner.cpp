#include "engine/runner.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

#include "engine/byte_progress.h"
#include "engine/cleanup.h"
#include "engine/files_in_use.h"
#include "engine/installed_files.h"
#include "engine/pending.h"
#include "engine/prefetch.h"
#include "engine/server_files.h"
#include "engine/update_run.h"
#include "manifest/json_writer.h"
#include "manifest/manifests.h"
#include "platform/paths.h"
#include "transfer/content_check.h"
#include "transfer/extract.h"
#include "transfer/fetch.h"
#include "transfer/safe_path.h"
#include "ui/notifications.h"

namespace fs = std::filesystem;

namespace {

// What the server's manifest promises about the file, as a check; none when it promises nothing.
std::optional<ContentCheck> checkOf(const ModpakEntry& entry, const ModpakPromise& promise) {
    if (!promise.size && promise.sha256.empty()) return std::nullopt;
    return ContentCheck{promise.size, promise.sha256,
                        "modpak " + std::to_string(entry.modPakNum) + ": " + entry.name};
}

// A list set without promises (never by loadManifests) checks nothing.
ModpakPromise promiseOf(const UpdateRun& run, std::size_t index) {
    return index < run.remotePromises.size() ? run.remotePromises[index] : ModpakPromise{};
}

// The next entry the loop will apply once `current` is recorded.
std::optional<std::size_t> nextPending(const UpdateRun& run, std::size_t current) {
    const ModpakEntry& applying = run.remoteModpaks[current];
    for (std::size_t i = current + 1; i < run.remoteModpaks.size(); ++i) {
        const ModpakEntry& entry = run.remoteModpaks[i];
        const bool sameAsApplying =
            entry.modPakNum == applying.modPakNum && entry.name == applying.name;
        if (!sameAsApplying && !containsModpak(run.localModpaks, entry)) return i;
    }
    return std::nullopt;
}

bool namesOurStagingFile(const std::string& name) {
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("nuvraupdater") != std::string::npos;
}

// True when the modpak could meet a staging file: its cleanup would remove it, or its own file
// would stand under a staging name that a later download takes. Such a modpak is fetched after
// its cleanup, straight to its own name, and nothing is downloaded ahead beside it.
bool mayMeetStaging(const UpdateRun& run, const ModpakEntry& entry) {
    if (namesOurStagingFile(entry.name)) return true;
    return std::any_of(run.fileEntries.begin(), run.fileEntries.end(), [&](const FileEntry& e) {
        return e.modPakNum == entry.modPakNum && namesOurStagingFile(e.name);
    });
}

// Downloads of the next modpak start while this one unpacks. Only over the network: a local
// source folder is read as fast as the unpacking, and ".7z" files are not copied from it at all.
std::unique_ptr<Prefetch> prefetchAfter(UpdateRun& run, std::size_t current) {
    if (run.options.sourceDir || namesOurStagingFile(run.remoteModpaks[current].name))
        return nullptr;
    const std::optional<std::size_t> next = nextPending(run, current);
    if (!next) return nullptr;
    const ModpakEntry& entry = run.remoteModpaks[*next];
    try {
        safeTargetPath(run.rootDir, entry.name, entry.modPakNum);
    } catch (const std::exception&) {
        return nullptr;  // refused in its turn, before anything is removed for it
    }
    return startPrefetch(run.rootDir, *next, run.config.url + entry.name,
                         checkOf(entry, promiseOf(run, *next)));
}

// "2.1 GB", in the decimal units of the progress texts. A need is rounded up and free space
// down, so that a need just above the free space never reads as the same number.
std::string spaceText(std::uint64_t bytes, bool roundUp) {
    const double scale = bytes >= 1000000000ULL ? 1e9 : bytes >= 1000000 ? 1e6 : 1e3;
    const char* unit = bytes >= 1000000000ULL ? "GB" : bytes >= 1000000 ? "MB" : "kB";
    const double tenths = static_cast<double>(bytes) / scale * 10;
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s",
                  (roundUp ? std::ceil(tenths) : std::floor(tenths)) / 10, unit);
    return text;
}

// A modpak that runs out of room half-way leaves the game folder worse than before: its cleanup
// has already removed what it retires.
void refuseWhatDoesNotFit(const fs::path& rootDir, const ModpakEntry& entry, std::uint64_t needed) {
    if (needed == 0) return;
    const std::uintmax_t available = freeSpace(rootDir);
    if (needed <= available) return;
    throw std::runtime_error("Not enough space: modpak " + std::to_string(entry.modPakNum) +
                             " needs " + spaceText(needed, true) + ", " +
                             spaceText(available, false) + " free");
}

// The room the modpak's file takes once it is at hand: what an archive unpacks to, or the copy
// that a mirror's plain file becomes (a staged one is on the disk already).
std::uint64_t roomOf(const fs::path& file, bool sevenZip, bool staged) {
    if (!sevenZip && staged) return 0;
    // A mirror's FIFO or device would block or never end; the fetch refuses it in its turn.
    std::error_code notRegular;
    if (!fs::is_regular_file(file, notRegular)) return 0;
    try {
        return sevenZip ? unpackedSize(file) : fs::file_size(file);
    } catch (const std::exception&) {
        return 0;  // damaged: left to the unpacking to report
    }
}

// What a download still has to put on the disk: the promised size less the part it continues.
std::uint64_t downloadStillNeeded(const fs::path& staged,
                                  const std::optional<ContentCheck>& check) {
    if (!check || !check->size) return 0;
    fs::path part = staged;
    part += ".part";
    std::uint64_t kept = 0;
    std::error_code absent;
    if (isResumable(check)) kept = fs::file_size(part, absent);
    if (absent) kept = 0;
    return kept >= *check->size ? 0 : *check->size - kept;
}

// The modpak's file, whole and checked, before anything of the modpak changes: read where it lies
// in the mirror, or downloaded into its staging file (from its head start when it has one).
struct FileAtHand {
    fs::path path;
    bool staged = false;  // ours to move into place, or to remove
    bool keep = true;     // a staged file that may be continued by the next attempt
    bool placed = false;

    FileAtHand() = default;
    FileAtHand(const FileAtHand&) = delete;
    FileAtHand& operator=(const FileAtHand&) = delete;
    ~FileAtHand() {
        if (staged && !placed && !keep) removeQuietly(path);
    }
};

void stageDownload(UpdateRun& run, const ModpakEntry& entry,
                   const std::optional<ContentCheck>& check, Prefetch* prefetched, int step,
                   int total, FileAtHand& atHand) {
    const std::string what = "Fetching modpak " + std::to_string(entry.modPakNum);
    const RetryProgress retrying = windowRetryProgress(run.window.get(), step, total);
    atHand.path = stagingPathFor(run.rootDir, check);
    atHand.staged = true;
    atHand.keep = isResumable(check);
    if (prefetched) {
        const ByteProgress waiting = windowByteProgress(run.window.get(), step, total, what, true);
        if (takePrefetched(*prefetched, waiting ? &waiting : nullptr,
                           retrying ? &retrying : nullptr))
            return;
    }
    refuseWhatDoesNotFit(run.rootDir, entry, downloadStillNeeded(atHand.path, check));
    const ByteProgress fetching = windowByteProgress(run.window.get(), step, total, what, true);
    downloadFile(run.config.url + entry.name, atHand.path, check ? &*check : nullptr,
                 fetching ? &fetching : nullptr, nullptr, BodyEncoding::asSent,
                 retrying ? &retrying : nullptr);
}

// Moves a staged file onto `destination`, as a finished download would have left it: no part
// file beside it, the destination replaced. A destination on another volume is copied to.
void placeStaged(FileAtHand& atHand, const fs::path& destination) {
    fs::path part = destination;
    part += ".part";
    removeQuietly(part);
    removeQuietly(destination);
    try {
        renameFile(atHand.path, destination);
    } catch (const std::exception&) {
        copyFile(atHand.path, destination);
        removeQuietly(atHand.path);
    }
    atHand.placed = true;
}

// Puts the modpak's file at `destination` after its cleanup, when it was not at hand before.
void obtainFile(UpdateRun& run, const ModpakEntry& entry, const std::optional<ContentCheck>& check,
                const fs::path& destination, int step, int total) {
    const std::string what = "Fetching modpak " + std::to_string(entry.modPakNum);
    const RetryProgress retrying = windowRetryProgress(run.window.get(), step, total);
    const ByteProgress fetching = windowByteProgress(run.window.get(), step, total, what, true);
    fetchFile(run.options.sourceDir, run.config.url + entry.name, destination,
              check ? &*check : nullptr, fetching ? &fetching : nullptr,
              retrying ? &retrying : nullptr);
}

// A failed unpacking from the mirror leaves the archive in the root folder, as the copy that a
// fetch would have made is left there, for the next attempt or the player to find. Done while
// the failure unwinds, so that the failure itself is reported once, by the runner; a failure to
// copy changes nothing about it. Never through a link that an entry may have put at the
// destination (copyFile replaces what is there).
struct ArchiveLeftOnFailure {
    const fs::path& source;
    const fs::path& destination;
    bool unpacked = false;

    ~ArchiveLeftOnFailure() {
        if (unpacked) return;
        try {
            copyFile(source, destination);
        } catch (const std::exception&) {
        }
    }
};

// A ".7z" modpak read where it lies in the local source folder stands for the copy that a fetch
// would have put at `destination`: what happens at `destination` is what happened to that copy.
void unpackInPlace(const fs::path& rootDir, const fs::path& source, const fs::path& destination,
                   const ByteProgress* progress, std::deque<ExtractedEntry>* extracted) {
    removeQuietly(destination);
    ArchiveLeftOnFailure leftOnFailure{source, destination};
    extractArchive(source, rootDir, progress, &destination, extracted);
    leftOnFailure.unpacked = true;
    removeQuietly(destination);
}

void applyModpak(UpdateRun& run, InstalledRecord& installed, std::size_t index,
                 std::unique_ptr<Prefetch>& prefetch, int step, int total) {
    // A copy: the steps append to localModpaks, and the entry must not depend on what they do.
    const ModpakEntry entry = run.remoteModpaks[index];
    const std::optional<ContentCheck> check = checkOf(entry, promiseOf(run, index));
    const std::string number = std::to_string(entry.modPakNum);
    const bool sevenZip = isSevenZipName(entry.name);
    const bool stagingSafe = !mayMeetStaging(run, entry);
    std::unique_ptr<Prefetch> prefetched;
    if (prefetch && prefetch->index == index && stagingSafe) prefetched = std::move(prefetch);
    prefetch.reset();

    reportProgress(run.window.get(), {step, total, "Cleaning up for modpak " + number});
    // Refuse a hostile name before anything is fetched or removed for it.
    fs::path destination = safeTargetPath(run.rootDir, entry.name, entry.modPakNum);
    refuseUnsafeCleanup(run.rootDir, run.fileEntries, entry.modPakNum);
    FileAtHand atHand;
    if (run.options.sourceDir) {
        if (std::optional<fs::path> source =
                sourceFileInPlace(run.options.sourceDir, destination, check ? &*check : nullptr))
            atHand.path = std::move(*source);
    } else if (stagingSafe) {
        stageDownload(run, entry, check, prefetched.get(), step + 1, total, atHand);
    }
    prefetched.reset();
    const bool haveFile = !atHand.path.empty();
    // Nothing of the modpak changes while another program holds a file it would replace, or when
    // it does not fit.
    const bool entriesChecked =
        refuseFilesInUse(run.rootDir, run.fileEntries, entry.modPakNum,
                         haveFile && sevenZip ? &atHand.path : nullptr, run.window.get());
    if (haveFile) {
        try {
            refuseWhatDoesNotFit(run.rootDir, entry, roomOf(atHand.path, sevenZip, atHand.staged));
        } catch (const std::exception&) {
            atHand.keep = false;  // it would not fit next time either, and it takes room
            throw;
        }
    } else {
        refuseWhatDoesNotFit(run.rootDir, entry, check && check->size ? *check->size : 0);
    }
    cleanupModpak(run.rootDir, run.fileEntries, entry.modPakNum);
    forgetRetiredPaths(installed, run.fileEntries, entry.modPakNum);

    reportProgress(run.window.get(), {step + 1, total, "Fetching modpak " + number});
    // Checked again: the cleanup may have changed what the name's folders resolve to.
    destination = safeTargetPath(run.rootDir, entry.name, entry.modPakNum);
    createDirectories(destination.parent_path());
    // A ".7z" in the mirror is unpacked where it lies; anything else is put at the destination.
    const std::optional<fs::path> inPlace = haveFile && !atHand.staged && sevenZip
                                                ? std::optional<fs::path>(atHand.path)
                                                : std::nullopt;
    if (atHand.staged)
        placeStaged(atHand, destination);
    else if (!inPlace)
        obtainFile(run, entry, check, destination, step + 1, total);
    prefetch = prefetchAfter(run, index);

    reportProgress(run.window.get(), {step + 1, total, "Applying modpak " + number});
    if (sevenZip) {
        std::deque<ExtractedEntry> extracted;
        const ByteProgress unpacking = windowByteProgress(run.window.get(), step + 1, total,
                                                          "Applying modpak " + number, false);
        const ByteProgress* progress = unpacking ? &unpacking : nullptr;
        // Fetched only after the cleanup: its size and entries are checked now.
        if (!haveFile) refuseWhatDoesNotFit(run.rootDir, entry, unpackedSize(destination));
        if (!entriesChecked)
            refuseFilesInUse(run.rootDir, {}, entry.modPakNum, inPlace ? &*inPlace : &destination,
                             run.window.get());
        if (inPlace) {
            unpackInPlace(run.rootDir, *inPlace, destination, progress, &extracted);
        } else {
            extractArchive(destination, run.rootDir, progress, nullptr, &extracted);
            removeQuietly(destination);
        }
        recordExtractedEntries(installed, extracted, entry.modPakNum);
    } else {
        ContentDigest placed = digestFile(destination);
        recordPlacedFile(installed, recordedServerName(entry.name),
                         InstalledFile{placed.size, std::move(placed.sha256), entry.modPakNum});
    }
    installed.modpaks.push_back(entry);
    saveInstalledRecord(run.rootDir, installed);
    run.localModpaks.push_back(entry);
    writeLocalManifest(run.rootDir / pathFromText("nuvramodlocal.json"), run.localModpaks);
    reportProgress(run.window.get(), {step + 2, total, "Applied modpak " + number});
}

// What the pending modpaks' downloads are checked against, for the staging files to keep.
std::vector<ContentCheck> pendingChecks(const UpdateRun& run) {
    std::vector<ContentCheck> checks;
    for (std::size_t i = 0; i < run.remoteModpaks.size(); ++i) {
        if (containsModpak(run.localModpaks, run.remoteModpaks[i])) continue;
        if (std::optional<ContentCheck> check = checkOf(run.remoteModpaks[i], promiseOf(run, i)))
            checks.push_back(std::move(*check));
    }
    return checks;
}

}  // namespace

void runUpdate(UpdateRun& run) {
    // Outside the try block: a failure must end the head start, and remove what it staged, before
    // the failure is reported and the process may end.
    std::unique_ptr<Prefetch> prefetch;
    try {
        const int pending = countPendingModpaks(run.remoteModpaks, run.localModpaks);
        const int total = 2 * pending;
        reportProgress(run.window.get(), {0, total, "Starting"});
        if (pending == 0) {
            removeRemoteFiles(run);
            run.exitStatus = 0;
            reportCompletion(run.window.get(), "Update complete! You are already up to date.");
            return;
        }
        removeStagingLeftovers(run.rootDir, pendingChecks(run));
        InstalledRecord installed = loadInstalledRecord(run.rootDir);
        int step = 0;
        // By index: the loop appends to localModpaks, never to remoteModpaks.
        for (std::size_t i = 0; i < run.remoteModpaks.size(); ++i) {
            if (containsModpak(run.localModpaks, run.remoteModpaks[i])) continue;
            applyModpak(run, installed, i, prefetch, step, total);
            step += 2;
        }
        removeRemoteFiles(run);
        // Set before the notice: in the window, the UI thread ends the process once it has it.
        run.exitStatus = 0;
        reportCompletion(run.window.get(), "Update complete! You are all set to connect.");
    } catch (const std::exception& error) {
        prefetch.reset();
        run.exitStatus = 1;
        reportFailure(run.window.get(), error.what());
    }
}
