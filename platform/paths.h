#pragma once
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

// Text is 8-bit (file contents, URLs, names, messages); a path is the platform's native path.
// These two are the only conversions between them. Both raise std::system_error when the text or
// path cannot be represented on the other side (never on platforms with 8-bit native paths).
std::filesystem::path pathFromText(const std::string& text);
std::string textFromPath(const std::filesystem::path& path);

// True when the platform would not take this one component of a relative name as written: on
// Windows a reserved device name (CON, nul.txt, COM1, any case), an alternate data stream or
// drive ("x.txt:hidden", "C:x"), a trailing dot or space, which Windows silently drops, or a
// character that Windows file names cannot hold. Never true where names are taken as given.
bool isReservedOrAlteredName(const std::filesystem::path& component);

// A filesystem_error whose what() reads: op ": " description ": \"" path1 ["\", \"" path2] "\"".
// The standard library words its own message differently; the player reads ours.
class FileSystemError : public std::filesystem::filesystem_error {
public:
    FileSystemError(const std::string& op, std::error_code code);
    FileSystemError(const std::string& op, const std::filesystem::path& path, std::error_code code);
    FileSystemError(const std::string& op, const std::filesystem::path& path1,
                    const std::filesystem::path& path2, std::error_code code);
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// The platform's text for an error code, trailing white space removed ("unknown error" if none).
std::string errorDescription(std::error_code code);

// The process's working directory; raises FileSystemError "current_path()" (which names no path).
std::filesystem::path currentPath();

// True when `folder` is `root` or lies below it, both already canonical, compared as native
// strings (no conversion, so any name the file system holds can be compared), code unit for code
// unit and by whole components: "/x/game2" is not inside "/x/game". A root that ends in a
// separator (a file-system or drive root) needs none after it.
inline bool isInsideFolder(const std::filesystem::path& folderPath,
                           const std::filesystem::path& rootPath) {
    const auto& folder = folderPath.native();
    const auto& root = rootPath.native();
    constexpr auto separator = std::filesystem::path::preferred_separator;
    if (folder.size() < root.size() || folder.compare(0, root.size(), root) != 0) return false;
    if (folder.size() == root.size() || (!root.empty() && root.back() == separator)) return true;
    return folder[root.size()] == separator;
}

// Status following links. False for the statuses that mean "absent"; any other status error
// raises FileSystemError "exists" naming the path.
bool fileExists(const std::filesystem::path& path);

// True when the status error means the path is absent (not found, a non-folder on the way, ...).
bool isAbsentError(std::error_code code);

// What stands at a path itself, never following a link. On Windows any reparse point is a link
// (symbolic links, junctions, mount points and the rest); on POSIX a symbolic link. This is the
// one place that tells: the standard library cannot be asked on Windows, where it follows every
// link it meets.
enum class EntryType { absent, file, folder, link };

// A failure other than absence sets `code` (and answers absent).
EntryType entryType(const std::filesystem::path& path, std::error_code& code);

// Removes a file, an empty folder or a link itself (never what it points to), read-only or not. An
// absent path is success; otherwise the failure's code. On Windows an access denial or a sharing
// violation (a virus scanner that opened the file a moment ago) is tried again for about 2 s. On
// Windows the deletion goes through a handle of the name itself; where the system hands out a
// link's target instead (wine does, for every host link), nothing is deleted and the code is
// ERROR_NOT_SUPPORTED.
std::error_code removeEntry(const std::filesystem::path& path);

// Removes a path and, when it is a real folder, everything in it. A link, at the path or anywhere
// below, is removed as a link: what it points to is never entered or touched. An absent path is
// success; otherwise the first failure's code, with what was not yet reached left in place.
std::error_code removeTree(const std::filesystem::path& path);

// The files at or below each path (a folder's contents, never through a link) that cannot be
// removed or replaced now because another program holds them open: on Windows, those that cannot
// be opened for deletion without a sharing violation, asked again for about 2 s before they count.
// Absent paths and every other failure count as not in use (the change itself reports them).
// Empty at once where open files never stand in the way (POSIX).
std::vector<std::filesystem::path> filesInUse(const std::vector<std::filesystem::path>& paths);

// False where an open file never stops its removal or replacement (POSIX): there is then nothing
// that filesInUse could find, and no reason to gather what to ask it about.
bool openFilesBlockChanges();

// removeEntry with every failure, including an absent path, ignored.
inline void removeQuietly(const std::filesystem::path& path) { (void)removeEntry(path); }

// Copies source's contents to a freshly created target (whatever stood at target, a link
// included, is removed first and never written through). Raises FileSystemError "copy_file"
// naming source and target.
void copyFile(const std::filesystem::path& source, const std::filesystem::path& target);

// Moves from onto to, replacing a file or link at `to` (never writing through it), read-only or
// not; transient refusals are waited out as in removeEntry. Raises FileSystemError "rename" naming
// both.
void renameFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Creates the folder and its missing parents; an existing folder is success. Raises
// FileSystemError "create_directories" naming the folder.
void createDirectories(const std::filesystem::path& path);

// The longest existing leading part made canonical (links followed), the rest folded lexically.
// The bytes that this process may still write on the volume that holds `folder` (what quotas
// and reserved blocks leave it). Raises FileSystemError "space" naming the folder.
std::uintmax_t freeSpace(const std::filesystem::path& folder);

// Raises FileSystemError "weakly_canonical" naming the path.
std::filesystem::path weaklyCanonical(const std::filesystem::path& path);

// While it lives, the calling thread converts multibyte text as UTF-8; the process's locale and
// other threads are left alone. Libraries that convert names to the thread's character set
// (libarchive's UTF-16 entry names) then hand out UTF-8 bytes; ASCII is the same either way.
// Where UTF-8 is not available the thread's conversion stays as it was.
struct ThreadUtf8Locale {
    ThreadUtf8Locale();
    ~ThreadUtf8Locale();
    ThreadUtf8Locale(const ThreadUtf8Locale&) = delete;
    ThreadUtf8Locale& operator=(const ThreadUtf8Locale&) = delete;

    void* utf8 = nullptr;      // the locale this thread uses meanwhile
    void* previous = nullptr;  // the thread's locale before, put back at the end
};

struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// Closes explicitly: closing is where buffered writes fail. True on success.
inline bool closeFile(File& file) { return std::fclose(file.release()) == 0; }

// Opens an existing file for binary reading; null on failure.
File openFileForReading(const std::filesystem::path& path);

// Creates `path` fresh for binary writing: whatever stands there (a link is removed as a link)
// is removed first, then the file is created exclusively without following links, so a link
// planted in between makes this fail instead of writing through it. Null on failure.
File createFreshFile(const std::filesystem::path& path);

// Opens an earlier partial download at `path` for reading from its start and appending at its
// end, only when it is a regular file of ours: not a link (never followed), not a folder, with
// no second hard link, and (POSIX) owned by this user. Null otherwise.
File openOwnPartialFile(const std::filesystem::path& path);

// Flushes the stdio buffer and asks the system to put the file's data on disk. True on success.
bool flushToDisk(std::FILE* file);
