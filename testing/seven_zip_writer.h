#pragma once
#include <filesystem>
#include <string>
#include <vector>

// One entry of a test archive. `name` is stored exactly as given, so hostile names such as "../x"
// or "/abs/x" reach the reader unchanged. Names and link targets must be ASCII: the writer turns
// them into UTF-16 through the process's locale, and in the C locale it would mangle the rest
// (archives made by 7zz cover other names).
struct SevenZipEntry {
    enum class Kind { file, folder, symlink };
    Kind kind = Kind::file;
    std::string name;
    std::string bytes;  // a file's contents, or a link's target
    int mode = 0644;
};

SevenZipEntry fileEntry(const std::string& name, const std::string& bytes, int mode = 0644);
SevenZipEntry folderEntry(const std::string& name);
SevenZipEntry linkEntry(const std::string& name, const std::string& target);

// Writes a real 7-Zip archive with libarchive's writer. The writer stores entries with data
// (files with bytes, links) in the given order and then the empty ones (folders, empty files),
// and of two entries with equal names keeps only the last. An empty list gives a valid archive
// without entries. Raises runtime_error naming what failed, and for a
// name or link target that is not ASCII.
void writeSevenZip(const std::filesystem::path& archive, const std::vector<SevenZipEntry>& entries);
