#pragma once
#include <cstdint>

struct UpdateRun;

// Removes every file-list path of modpak `modPakNum` (folders with their contents; links as
// links) and verifies each is gone. Raises "Unable to delete ...", "Unable to verify deletion of
// ...", "Deletion did not remove ..." or the unsafe-path refusal; the first failure stops it.
void cleanupModpak(UpdateRun& run, std::int32_t modPakNum);
