#include <FL/Fl.H>

#include <cstdio>
#include <exception>
#include <utility>

#include "app/launch_options.h"
#include "app/synchronize.h"
#include "app/update_run.h"
#include "transfer/paths.h"
#include "ui/progress_window.h"

// Built for the graphical subsystem on Windows; the C runtime still hands the narrow argc/argv
// to main unchanged there.
int main(int argc, char** argv) {
    try {
        // Read before the arguments, even when --root replaces it.
        std::filesystem::path workingDir = currentPath();
        CommandLine commandLine = parseCommandLine(argc, argv, std::move(workingDir));
        if (commandLine.helpRequested) {
            std::fputs(usageText, stdout);
            return 0;
        }
        UpdateRun run(std::move(commandLine.options));
        currentRun = &run;
        Fl::lock();  // the main thread becomes the UI thread; Fl::awake works from the worker
        return synchronize(run);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
