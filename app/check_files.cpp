#include "app/check_files.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "engine/installed_files.h"
#include "engine/repair.h"
#include "engine/server_files.h"
#include "engine/update_run.h"
#include "engine/verify.h"
#include "manifest/manifests.h"
#include "platform/folder_lock.h"
#include "platform/paths.h"

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

int repairHeadless(UpdateRun& run) {
    UpdaterConfig loaded = loadLocalConfig(run.rootDir);
    run.config = loaded;
    run.pinnedKey = loadPinnedKey(run.rootDir);
    followKeyRotation(run);
    checkUpdaterVersion(run);
    fetchServerFile(run, "nuvrafile.json");
    loadManifests(run);
    const RepairReport report = repairInstalledFiles(run);
    removeRemoteFiles(run);
    printLines(problemLines(report.verified));
    printLines(report.lines);
    printLine(verifySummary(report.verified));
    printLine(repairSummary(report));
    return report.refused == 0 ? 0 : 1;
}

}  // namespace

int checkFiles(UpdateRun& run) {
    try {
        // An update running meanwhile would make every file it writes look changed.
        FolderLock folderLock(run.rootDir);
        if (run.options.fileCheck == FileCheck::verify) return verifyHeadless(run);
        return repairHeadless(run);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Nuvra Updater error: %s\n", error.what());
        printLine(error.what());
        return 1;
    }
}
