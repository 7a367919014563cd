#pragma once
#include <cstddef>
#include <filesystem>

struct archive;
struct archive_entry;

// How archive files and entry names cross between libarchive and native paths. Where native
// paths are wide, the library's wide forms carry every character of a name, whatever the ANSI
// code page holds; where they are 8-bit, names are the library's UTF-8 text unchanged.

// archive_read_open_filename (or its wide form) on `file`; the library's result.
int openArchiveFile(archive* reader, const std::filesystem::path& file, std::size_t blockSize);

// The entry's name as a relative or absolute native path; empty when the library has none.
std::filesystem::path archiveEntryPath(archive_entry* entry);

// Gives the entry `target` as the path the disk writer creates.
void setArchiveEntryPath(archive_entry* entry, const std::filesystem::path& target);
