#include "platform/paths.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

// Native paths are 8-bit here, so both conversions are the identity and cannot fail.
fs::path pathFromText(const std::string& text) { return fs::path(text); }

std::string textFromPath(const fs::path& path) { return path.native(); }

// Every byte but '/' and NUL may stand in a name here, and the kernel stores it as given.
bool isReservedOrAlteredName(const fs::path&) { return false; }

namespace {

std::string quoted(const fs::path& path) { return "\"" + path.native() + "\""; }

std::error_code lastError() { return std::error_code(errno, std::generic_category()); }

// A stdio stream over an open descriptor, which it then owns; null (and the descriptor closed)
// when the C library refuses it.
File fileFromDescriptor(int fd, const char* mode) {
    std::FILE* file = ::fdopen(fd, mode);
    if (!file) ::close(fd);
    return File(file);
}

}  // namespace

std::string errorDescription(std::error_code code) {
    std::string text = code.message();
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text.empty() ? "unknown error" : text;
}

FileSystemError::FileSystemError(const std::string& op, std::error_code code)
    : fs::filesystem_error(op, code), message_(op + ": " + errorDescription(code)) {}

FileSystemError::FileSystemError(const std::string& op, const fs::path& path, std::error_code code)
    : fs::filesystem_error(op, path, code),
      message_(op + ": " + errorDescription(code) + ": " + quoted(path)) {}

FileSystemError::FileSystemError(const std::string& op, const fs::path& path1,
                                 const fs::path& path2, std::error_code code)
    : fs::filesystem_error(op, path1, path2, code),
      message_(op + ": " + errorDescription(code) + ": " + quoted(path1) + ", " + quoted(path2)) {}

// uselocale changes only this thread; C.UTF-8 is built into the C library, so it needs no
// locale files on the machine.
ThreadUtf8Locale::ThreadUtf8Locale() {
    locale_t locale = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (locale == static_cast<locale_t>(0)) return;
    utf8 = locale;
    previous = ::uselocale(locale);
}

ThreadUtf8Locale::~ThreadUtf8Locale() {
    if (!utf8) return;
    ::uselocale(static_cast<locale_t>(previous));
    ::freelocale(static_cast<locale_t>(utf8));
}

fs::path currentPath() {
    std::error_code code;
    fs::path path = fs::current_path(code);
    if (code)
        throw FileSystemError("current_path()", code);
    return path;
}

bool isAbsentError(std::error_code code) {
    return code == std::errc::no_such_file_or_directory || code == std::errc::not_a_directory ||
           code == std::errc::filename_too_long;
}

bool fileExists(const fs::path& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) == 0)
        return true;
    std::error_code code = lastError();
    if (isAbsentError(code))
        return false;
    throw FileSystemError("exists", path, code);
}

EntryType entryType(const fs::path& path, std::error_code& code) {
    code.clear();
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        if (!isAbsentError(lastError())) code = lastError();
        return EntryType::absent;
    }
    if (S_ISLNK(info.st_mode)) return EntryType::link;
    return S_ISDIR(info.st_mode) ? EntryType::folder : EntryType::file;
}

std::error_code removeEntry(const fs::path& path) {
    // remove(3) unlinks a link itself, or removes an empty folder.
    if (std::remove(path.c_str()) == 0) return {};
    std::error_code code = lastError();
    return code == std::errc::no_such_file_or_directory ? std::error_code() : code;
}

std::error_code removeTree(const fs::path& path) {
    // The standard library looks at each entry with lstat here and never descends into a link.
    std::error_code code;
    fs::remove_all(path, code);
    return code;
}

// An open file is unlinked or replaced like any other here, and a file's own mode never stops
// its removal (the folder's does, and waiting does not change it).
std::vector<fs::path> filesInUse(const std::vector<fs::path>&) { return {}; }

bool openFilesBlockChanges() { return false; }

File openFileForReading(const fs::path& path) {
    return File(std::fopen(path.c_str(), "rb"));
}

File createFreshFile(const fs::path& path) {
    // unlink removes a link itself; a folder in the way stays and makes the open below fail.
    if (::unlink(path.c_str()) != 0 && errno != ENOENT && errno != EISDIR && errno != EPERM)
        return File();
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return File();
    return fileFromDescriptor(fd, "wb");
}

File openOwnPartialFile(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return File();
    struct stat info;
    // A second hard link would let the appended bytes land in a file someone else named.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
        info.st_uid != ::geteuid()) {
        ::close(fd);
        return File();
    }
    return fileFromDescriptor(fd, "a+b");
}

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

void copyFile(const fs::path& source, const fs::path& target) {
    std::error_code code;
    int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throw FileSystemError("copy_file", source, target, lastError());
    struct stat info;
    if (::fstat(in, &info) != 0)
        code = lastError();
    else if (S_ISDIR(info.st_mode))
        code = std::make_error_code(std::errc::is_a_directory);
    else if (!S_ISREG(info.st_mode))
        code = std::make_error_code(std::errc::invalid_argument);
    if (code) {
        ::close(in);
        throw FileSystemError("copy_file", source, target, code);
    }
    File out = createFreshFile(target);
    if (!out) {
        code = lastError();
        ::close(in);
        throw FileSystemError("copy_file", source, target, code);
    }
    int outFd = ::fileno(out.get());
    // copy_file_range lets the kernel move the bytes (or share extents) without a user-space pass.
    off_t remaining = info.st_size;
    bool fallback = false;
    while (remaining > 0) {
        ssize_t copied =
            ::copy_file_range(in, nullptr, outFd, nullptr, static_cast<size_t>(remaining), 0);
        if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP ||
                           errno == EINVAL) && remaining == info.st_size) {
            fallback = true;
            break;
        }
        if (copied < 0) {
            code = lastError();
            break;
        }
        if (copied == 0)
            break;
        remaining -= copied;
    }
    if (fallback) {
        char buffer[1 << 16];
        for (;;) {
            ssize_t got = ::read(in, buffer, sizeof buffer);
            if (got < 0) {
                code = lastError();
                break;
            }
            if (got == 0)
                break;
            if (std::fwrite(buffer, 1, static_cast<size_t>(got), out.get()) !=
                static_cast<size_t>(got)) {
                code = lastError();
                break;
            }
        }
    }
    ::close(in);
    if (!closeFile(out) && !code)
        code = lastError();
    if (code) {
        removeQuietly(target);
        throw FileSystemError("copy_file", source, target, code);
    }
}

void renameFile(const fs::path& from, const fs::path& to) {
    // rename(2) replaces a link at `to` with the file itself; it never follows it.
    if (::rename(from.c_str(), to.c_str()) != 0)
        throw FileSystemError("rename", from, to, lastError());
}

void createDirectories(const fs::path& path) {
    std::error_code code;
    fs::create_directories(path, code);
    if (code)
        throw FileSystemError("create_directories", path, code);
}

std::uintmax_t freeSpace(const fs::path& folder) {
    struct statvfs volume;
    if (::statvfs(folder.c_str(), &volume) != 0)
        throw FileSystemError("space", folder, lastError());
    return static_cast<std::uintmax_t>(volume.f_bavail) * volume.f_frsize;
}

fs::path weaklyCanonical(const fs::path& path) {
    std::error_code code;
    fs::path result = fs::weakly_canonical(path, code);
    if (code)
        throw FileSystemError("weakly_canonical", path, code);
    return result;
}
