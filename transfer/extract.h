#pragma once
#include <filesystem>

// Unpacks the 7-Zip archive into `destination` (created first), refusing any entry whose folder
// resolves outside the destination. Entries written before a failure stay. Raises runtime_error
// "Unable to open archive: ...", "Blocked archive entry outside destination: <target>",
// "Unable to write archive entry: ...", "Unable to read archive: ...", and the path errors.
void extractArchive(const std::filesystem::path& archive, const std::filesystem::path& destination);
