#include <FL/Fl.H>

#include <cstdio>
#include <exception>
#include <utility>

#include "app/command_line.h"
#include "app/synchronize.h"
#include "engine/update_run.h"
#include "platform/paths.h"

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
        Fl::lock();  // the main thread becomes the UI thread; Fl::awake works from the worker
        return synchronize(run);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}
