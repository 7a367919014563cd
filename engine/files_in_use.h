#pragma once
#include <cstdint>
#include <filesystem>
#include <vector>

#include "manifest/records.h"

struct ProgressWindow;

// Stops the run before anything of modpak `modPakNum` changes when another program (the game, a
// launcher) holds open a file that the modpak would remove or replace in `rootDir`: one it
// retires (`fileEntries`, folders with their contents) or, when `archive` is given, one its
// entries would overwrite. Raises runtime_error "Files in use for modpak <n>: <file>[, ...].
// Close the game, or whatever holds them, and try again." naming the first few; in the window
// the player is asked first, and Retry checks again. Returns whether the archive's entries were
// looked at: not when none was given or it could not be read (its unpacking then says why).
// Where open files never stop a change (POSIX), it reads and asks nothing.
bool refuseFilesInUse(const std::filesystem::path& rootDir,
                      const std::vector<FileEntry>& fileEntries, std::int32_t modPakNum,
                      const std::filesystem::path* archive, ProgressWindow* window);
