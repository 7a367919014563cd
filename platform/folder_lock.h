#pragma once
#include <filesystem>

// Holds the operating system's lock on the folder itself for as long as it lives, so that a
// second updater on the same game folder is refused without any file being created for it: on
// POSIX an exclusive flock on a descriptor of the folder, on Windows a named mutex derived from
// the folder's volume and file index (so that every spelling of one folder, through a mapped
// drive or a junction, meets the same lock). The lock goes with the process, even one that is
// killed. Raises runtime_error "Another Nuvra Updater is already running in this folder." when
// another process holds it, and "Unable to lock folder: <folder>" when it cannot be taken. A
// folder that does not exist (or is not a folder) is not locked (handle stays null): there is
// nothing to protect, and the run then fails on the configuration it cannot read, as it always
// has. Once locked, a "nuvraupdater.lock" that an earlier version left in the folder is removed
// when it is a regular file or a link (the link itself, never its target).
struct FolderLock {
    explicit FolderLock(const std::filesystem::path& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    void* handle = nullptr;  // the platform's lock (a folder descriptor on POSIX, a mutex)
};

inline constexpr const char* earlierLockFileName = "nuvraupdater.lock";
inline constexpr const char* folderInUseMessage =
    "Another Nuvra Updater is already running in this folder.";
