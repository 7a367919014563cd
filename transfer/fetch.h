#pragma once
#include <filesystem>
#include <string>

struct UpdateRun;

// Puts the remote file into `destination`: copied from the run's local source folder (by the
// destination's last name component) when one was given, downloaded from `url` otherwise.
// Raises "Local source file not found: <path>", FileSystemError "exists"/"copy_file", or the
// download errors.
void fetchFile(UpdateRun& run, const std::string& url, const std::filesystem::path& destination);
