#pragma once
#include <string>
#include <vector>

#include "engine/verify.h"

struct UpdateRun;

struct RepairReport {
    VerifyReport verified;
    std::vector<std::string> lines;  // "Repaired: ...", "Refused: ...", "Recorded modpak ..."
    int repaired = 0;
    int refused = 0;
};

// Verifies the run's game folder, then fetches again (from the server or the mirror, checked
// and resumable as any modpak) each applied modpak that owns a damaged file or that the record
// does not cover, the latest first, and puts back from it only the entries that need it, each
// checked against its recorded hash before it takes its name. A modpak the record does not cover
// is recorded from its archive: its entries that no later modpak took over or retired, compared
// with the disk and put back where they differ. The record is saved after each modpak. Needs the
// run's manifests and file list loaded; tells the run's window of its progress. Raises the fetch,
// archive and file-system errors, the first one stopping it with what was done so far recorded.
RepairReport repairInstalledFiles(UpdateRun& run);

// "Repaired 2 files; 1 refused."
std::string repairSummary(const RepairReport& report);
