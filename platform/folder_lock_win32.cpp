#include "platform/folder_lock.h"

#include <windows.h>

#include <cwchar>
#include <stdexcept>

#include "platform/paths.h"
#include "platform/paths_win32.h"

namespace fs = std::filesystem;

namespace {

// A real folder at the name is left alone; a link goes as itself, never its target.
void removeEarlierLockFile(const fs::path& folder) {
    const fs::path file = folder / earlierLockFileName;
    std::error_code code;
    const EntryType type = entryType(file, code);
    // A leftover that stays costs nothing, so a failed removal is not reported.
    if (!code && (type == EntryType::file || type == EntryType::link)) removeQuietly(file);
}

}  // namespace

FolderLock::FolderLock(const fs::path& folder) {
    const std::runtime_error unable("Unable to lock folder: " + textFromPath(folder));
    // BACKUP_SEMANTICS is what lets CreateFileW open a folder; with no access asked for, the
    // open only reads the folder's identity and stands in no other program's way.
    HANDLE opened = CreateFileW(systemPath(folder).c_str(), 0,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
            error == ERROR_DIRECTORY)
            return;
        throw unable;
    }
    BY_HANDLE_FILE_INFORMATION info;
    const BOOL known = GetFileInformationByHandle(opened, &info);
    CloseHandle(opened);
    if (known == FALSE) throw unable;
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;
    // Global: two players' sessions on one shared folder are still one folder.
    wchar_t name[64];
    std::swprintf(name, sizeof name / sizeof name[0], L"Global\\nuvraupdater-%08lx-%08lx%08lx",
                  static_cast<unsigned long>(info.dwVolumeSerialNumber),
                  static_cast<unsigned long>(info.nFileIndexHigh),
                  static_cast<unsigned long>(info.nFileIndexLow));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name);
    if (!mutex) throw unable;
    // A mutex whose owner ended without releasing it (killed, crashed) comes back abandoned:
    // the folder is free again, as the lock went with the process.
    const DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        if (waited == WAIT_TIMEOUT) throw std::runtime_error(folderInUseMessage);
        throw unable;
    }
    handle = mutex;
    removeEarlierLockFile(folder);
}

FolderLock::~FolderLock() {
    if (!handle) return;
    ReleaseMutex(static_cast<HANDLE>(handle));
    CloseHandle(static_cast<HANDLE>(handle));
}
