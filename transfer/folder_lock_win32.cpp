#include "transfer/folder_lock.h"

#include <windows.h>

#include <stdexcept>

#include "transfer/paths.h"

namespace fs = std::filesystem;

FolderLock::FolderLock(const fs::path& folder) {
    const fs::path file = folder / folderLockName;
    // No sharing: while this handle is open every other open of the file fails with a sharing
    // violation, and Windows closes the handle when the process ends, however it ends.
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of what it points to; it is then
    // refused below.
    HANDLE opened = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) throw std::runtime_error(folderInUseMessage);
        if (error == ERROR_PATH_NOT_FOUND) return;
        throw std::runtime_error("Unable to lock folder: " + textFromPath(file));
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(opened, &info) == FALSE ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        CloseHandle(opened);
        throw std::runtime_error("Unable to lock folder: " + textFromPath(file));
    }
    handle = opened;
}

FolderLock::~FolderLock() {
    if (handle) CloseHandle(static_cast<HANDLE>(handle));
}
