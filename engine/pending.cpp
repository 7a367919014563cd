#include "engine/pending.h"

#include <algorithm>

#include "app/update_run.h"

bool containsModpak(const std::vector<ModpakEntry>& list, const ModpakEntry& entry) {
    return std::any_of(list.begin(), list.end(), [&](const ModpakEntry& candidate) {
        return candidate.modPakNum == entry.modPakNum && candidate.name == entry.name;
    });
}

int countPendingModpaks(const UpdateRun& run) {
    return static_cast<int>(
        std::count_if(run.remoteModpaks.begin(), run.remoteModpaks.end(),
                      [&](const ModpakEntry& entry) { return !containsModpak(run.localModpaks, entry); }));
}
