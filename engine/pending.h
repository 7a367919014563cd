#pragma once
#include <vector>

#include "manifest/records.h"

// True when `list` holds an entry with the same number and byte-identical name.
bool containsModpak(const std::vector<ModpakEntry>& list, const ModpakEntry& entry);

// Remote entries missing from the local list; a repeated remote entry counts twice.
int countPendingModpaks(const std::vector<ModpakEntry>& remote,
                        const std::vector<ModpakEntry>& local);
