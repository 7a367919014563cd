#pragma once

struct UpdateRun;

// Applies every pending modpak in the server's order (cleanup, fetch, unpack ".7z", record in
// "nuvramodlocal.json"), reporting progress, and ends with exactly one reportCompletion or
// reportFailure, and the run's exit status set to match (0 or 1). Lets no standard exception out.
void runUpdate(UpdateRun& run);
