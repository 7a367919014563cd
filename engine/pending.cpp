#include "engine/pending.h"

#include <algorithm>

bool containsModpak(const std::vector<ModpakEntry>& list, const ModpakEntry& entry) {
    return std::any_of(list.begin(), list.end(), [&](const ModpakEntry& candidate) {
        return candidate.modPakNum == entry.modPakNum && candidate.name == entry.name;
    });
}

int countPendingModpaks(const std::vector<ModpakEntry>& remote,
                        const std::vector<ModpakEntry>& local) {
    return static_cast<int>(
        std::count_if(remote.begin(), remote.end(),
                      [&](const ModpakEntry& entry) { return !containsModpak(local, entry); }));
}
