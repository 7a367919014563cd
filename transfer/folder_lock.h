#pragma once
#include <filesystem>

// Holds the operating system's lock on "<folder>/nuvraupdater.lock" for as long as it lives, so
// that a second updater on the same game folder is refused. The lock goes with the process, even
// one that is killed, so a crash never leaves the folder locked; the file itself is left in place
// (removing it would let a third updater lock a new file while a second still holds the old one).
// The file is opened without following links and never written. Raises runtime_error
// "Another Nuvra Updater is already running in this folder." when another process holds it, and
// "Unable to lock folder: <lock file>" when it cannot be opened or locked (a link at its name
// included). A folder that does not exist is not locked (handle stays null): there is nothing
// to protect, and the run then fails on the configuration it cannot read, as it always has.
struct FolderLock {
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    void* handle = nullptr;  // the platform's open file (a descriptor on POSIX)
};

inline constexpr const char* folderLockName = "nuvraupdater.lock";
inline constexpr const char* folderInUseMessage =
    "Another Nuvra Updater is already running in this folder.";
