#pragma once
#include <cstdint>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "manifest/installed_files.h"
#include "manifest/records.h"
#include "transfer/extract.h"

inline constexpr const char* installedRecordFile = "nuvrainstalled.json";

// The game folder's record of installed files; empty when the folder has none yet.
InstalledRecord loadInstalledRecord(const std::filesystem::path& rootDir);
void saveInstalledRecord(const std::filesystem::path& rootDir, const InstalledRecord& record);

// Drops what the cleanup of modpak `modPakNum` removed: each retired path and all below it.
void forgetRetiredPaths(InstalledRecord& record, const std::vector<FileEntry>& fileEntries,
                        std::int32_t modPakNum);

// Takes over `name` (clean, relative), a file that modpak `modPakNum` put in place, and forgets
// anything recorded below it.
void recordPlacedFile(InstalledRecord& record, const std::string& name, InstalledFile file);

// Takes over, for modpak `modPakNum`, every regular file it unpacked; any other entry (a folder,
// a link) replaces a recorded file of its name, and a link whatever was recorded below it.
void recordExtractedEntries(InstalledRecord& record, const std::deque<ExtractedEntry>& entries,
                            std::int32_t modPakNum);

// The recorded name of a server-given name (clean, relative), or "" when it is refused.
std::string recordedServerName(const std::string& name);
