#include "app/synchronize.h"

#include <FL/Fl.H>

#include <cstdio>
#include <exception>
#include <memory>

#include "app/check_files.h"
#include "engine/pending.h"
#include "engine/runner.h"
#include "engine/server_files.h"
#include "engine/update_run.h"
#include "platform/folder_lock.h"
#include "ui/dialogs.h"
#include "ui/progress_window.h"

int synchronize(UpdateRun& run) {
    if (run.options.fileCheck != FileCheck::none) return checkFiles(run);
    try {
        // Before anything is read or written: a second updater on this folder changes nothing.
        // Held until the process ends (the window's exit does not return here).
        FolderLock folderLock(run.rootDir);
        UpdaterConfig loaded = loadLocalConfig(run.rootDir);
        run.config.os = loaded.os;
        run.config.nuvraVersion = loaded.nuvraVersion;
        run.config.url = loaded.url;
        run.pinnedKey = loadPinnedKey(run.rootDir);

        if (!askConfirmation(
                run.options.headless,
                "Welcome to Nuvra. Click OK to synchronize your files with the latest."))
            return 0;
        followKeyRotation(run);
        checkUpdaterVersion(run);
        fetchServerFile(run, "nuvrafile.json");
        loadManifests(run);

        const int pending = countPendingModpaks(run.remoteModpaks, run.localModpaks);
        if (pending == 0) {
            removeRemoteFiles(run);
            showMessage(run.options.headless, "Update complete! You are already up to date.");
            return 0;
        }
        if (run.options.headless) {
            runUpdate(run);
            return run.exitStatus;
        }
        run.window = std::make_unique<ProgressWindow>(pending);
        run.window->onStart = [&run] { startWorker(*run.window, [&run] { runUpdate(run); }); };
        run.window->mainWindow.show();
        return Fl::run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Nuvra Updater error: %s\n", error.what());
        askConfirmation(run.options.headless, error.what());
        return 1;
    }
}
