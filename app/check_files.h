#pragma once

struct UpdateRun;

// The run of --verify or --repair: checks the installed files against the record (--verify
// changes nothing, reads no server file and asks no question), or checks them and repairs what
// it can from the modpaks' archives. Headless, each problem and each repair on a line of its own
// and a summary on standard output, and the exit status: 0 when every recorded file matches (or
// was repaired), 1 otherwise or on an error ("Nuvra Updater error: ..." on standard error).
// Without --headless, a window of its own checks at once (and with --repair repairs what it
// finds), shows the summary and offers Repair or another check, until the player closes it.
int checkFiles(UpdateRun& run);
