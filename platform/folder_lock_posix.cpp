#include "platform/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "platform/paths.h"

namespace fs = std::filesystem;

namespace {

// Relative to the locked folder's descriptor, so that the name is looked up in the folder that
// is locked even if the path has been made to point elsewhere meanwhile.
void removeEarlierLockFile(int folder) {
    struct stat info;
    if (::fstatat(folder, earlierLockFileName, &info, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))
        ::unlinkat(folder, earlierLockFileName, 0);  // a leftover that stays costs nothing
}

}  // namespace

FolderLock::FolderLock(const fs::path& folder) {
    const std::runtime_error unable("Unable to lock folder: " + textFromPath(folder));
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // A game folder given as a link to a folder: "<link>/." names the folder it points to, as
    // every other spelling of that folder does, without the link being opened as the folder.
    // With O_DIRECTORY, Linux reports the link as ENOTDIR rather than ELOOP.
    if (fd < 0 && (errno == ELOOP || errno == ENOTDIR))
        fd = ::open((folder / ".").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return;
        throw unable;
    }
    // flock belongs to the open folder description, not the process: unlike fcntl locks it is
    // not dropped when some other descriptor is closed, and the kernel releases it on any exit.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        if (held) throw std::runtime_error(folderInUseMessage);
        throw unable;
    }
    removeEarlierLockFile(fd);
    // Stored one higher, so that a null handle always means "not locked".
    handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

FolderLock::~FolderLock() {
    if (handle) ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1));
}
