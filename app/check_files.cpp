#include "app/check_files.h"

#include <FL/Fl.H>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "engine/byte_progress.h"
#include "engine/installed_files.h"
#include "engine/repair.h"
#include "engine/server_files.h"
#include "engine/update_run.h"
#include "engine/verify.h"
#include "manifest/manifests.h"
#include "platform/folder_lock.h"
#include "platform/paths.h"
#include "ui/dialogs.h"
#include "ui/notifications.h"
#include "ui/progress_window.h"

namespace fs = std::filesystem;

namespace {

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void printLines(const std::vector<std::string>& lines) {
    for (const std::string& line : lines) printLine(line);
}

void loadLocalModpaks(UpdateRun& run) {
    const fs::path local = run.rootDir / pathFromText("nuvramodlocal.json");
    if (fileExists(local)) run.localModpaks = parseModpakList(local);
}

int verifyHeadless(UpdateRun& run) {
    loadLocalModpaks(run);
    const VerifyReport report =
        verifyInstalledFiles(run.rootDir, loadInstalledRecord(run.rootDir), run.localModpaks);
    printLines(problemLines(report));
    printLine(verifySummary(report));
    return report.problems.empty() ? 0 : 1;
}

void loadServerFiles(UpdateRun& run) {
    // A second repair in the same window reads a publication of its own, perhaps a newer one.
    run.signedSequence = 0;
    run.signedSequenceFile.clear();
    UpdaterConfig loaded = loadLocalConfig(run.rootDir);
    run.config = loaded;
    run.pinnedKey = loadPinnedKey(run.rootDir);
    followKeyRotation(run);
    checkUpdaterVersion(run);
    fetchServerFile(run, "nuvrafile.json");
    loadManifests(run);
}

int repairHeadless(UpdateRun& run) {
    loadServerFiles(run);
    const RepairReport report = repairInstalledFiles(run);
    removeRemoteFiles(run);
    printLines(problemLines(report.verified));
    printLines(report.lines);
    printLine(verifySummary(report.verified));
    printLine(repairSummary(report));
    return report.refused == 0 ? 0 : 1;
}

// The window's steps, each on the worker thread: a check, then a repair when the check found
// something to put right (at once when the process was asked to repair), then a check again.
void repairInWindow(UpdateRun& run);

void verifyInWindow(UpdateRun& run, bool repairAtOnce) {
    ProgressWindow& window = *run.window;
    try {
        loadLocalModpaks(run);
        const ByteProgress checking = windowByteProgress(&window, 0, 1, "Checking files", true);
        const VerifyReport report = verifyInstalledFiles(
            run.rootDir, loadInstalledRecord(run.rootDir), run.localModpaks,
            checking ? &checking : nullptr);
        reportStepProgress(&window, {1, 1, "Checked"});
        const std::vector<std::string> lines = problemLines(report);
        if (lines.empty()) {
            offerNextStep(window, verifySummary(report), "Check files", [&run] {
                startWorker(*run.window, [&run] { verifyInWindow(run, false); });
            });
            return;
        }
        if (repairAtOnce) {
            repairInWindow(run);
            return;
        }
        std::string status = verifySummary(report) + " " + lines.front();
        if (lines.size() > 1) status += " and " + std::to_string(lines.size() - 1) + " more";
        offerNextStep(window, status + ". Click Repair to put them right.", "Repair", [&run] {
            startWorker(*run.window, [&run] { repairInWindow(run); });
        });
    } catch (const std::exception& error) {
        reportFailure(&window, error.what());
    }
}

void repairInWindow(UpdateRun& run) {
    ProgressWindow& window = *run.window;
    try {
        // Fetched afresh each time: the server may have published since the window opened.
        loadServerFiles(run);
        const RepairReport report = repairInstalledFiles(run);
        removeRemoteFiles(run);
        reportStepProgress(&window, {1, 1, "Repaired"});
        offerNextStep(window, repairSummary(report), "Check files", [&run] {
            startWorker(*run.window, [&run] { verifyInWindow(run, false); });
        });
    } catch (const std::exception& error) {
        reportFailure(&window, error.what());
    }
}

int checkFilesInWindow(UpdateRun& run) {
    const bool repair = run.options.fileCheck == FileCheck::repair;
    run.window = std::make_unique<ProgressWindow>(
        "Checking the files that the updater installed against its record of them.",
        repair ? "Repair" : "Check files");
    run.window->onStart = [&run, repair] {
        startWorker(*run.window, [&run, repair] { verifyInWindow(run, repair); });
    };
    run.window->mainWindow.show();
    // The player asked for the check by starting the program so: it begins at once.
    run.window->startButton.do_callback();
    return Fl::run();
}

}  // namespace

int checkFiles(UpdateRun& run) {
    try {
        // An update running meanwhile would make every file it writes look changed.
        FolderLock folderLock(run.rootDir);
        if (!run.options.headless) return checkFilesInWindow(run);
        if (run.options.fileCheck == FileCheck::verify) return verifyHeadless(run);
        return repairHeadless(run);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Nuvra Updater error: %s\n", error.what());
        askConfirmation(run.options.headless, error.what());
        return 1;
    }
}
