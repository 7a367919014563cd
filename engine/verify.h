#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/installed_files.h"
#include "manifest/records.h"
#include "transfer/download.h"

struct FileProblem {
    std::string name;  // as the record spells it
    std::int32_t modPakNum = 0;
    bool missing = false;  // else changed: other contents, size or kind, or unreadable
};

struct VerifyReport {
    std::size_t checked = 0;
    std::vector<FileProblem> problems;      // in the record's order
    std::vector<ModpakEntry> notRecorded;   // applied before the record existed
};

// Compares every recorded file with what stands in `rootDir`: absent, not a regular file, another
// size, or other contents. Each file is read once; the reading goes on while a second thread
// hashes what was read. A recorded name that reaches outside the folder counts as changed and is
// not read. `progress` is told of the bytes read out of the recorded total. Changes nothing.
VerifyReport verifyInstalledFiles(const std::filesystem::path& rootDir,
                                  const InstalledRecord& record,
                                  const std::vector<ModpakEntry>& localModpaks,
                                  const ByteProgress* progress = nullptr);

// "Changed: data/core.pak (modpak 3)", "Missing: maps/harbour.map (modpak 2)", then "Not
// recorded: modpak 1 (core.7z)" for each applied modpak the record does not cover.
std::vector<std::string> problemLines(const VerifyReport& report);

// "Checked 12 files: 1 changed, 1 missing; 1 modpak not recorded."
std::string verifySummary(const VerifyReport& report);
