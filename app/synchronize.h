#pragma once

struct UpdateRun;

// Drives the run from the configuration to the update (headless) or the progress window, and
// returns the exit status. Every failure before the runner is written to standard error with the
// prefix "Nuvra Updater error: ", shown through askConfirmation, and gives status 1.
int synchronize(UpdateRun& run);
