#include "transfer/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "transfer/paths.h"

namespace fs = std::filesystem;

FolderLock::FolderLock(const fs::path& folder) {
    const fs::path file = folder / folderLockName;
    const std::runtime_error unable("Unable to lock folder: " + textFromPath(file));
    // O_NOFOLLOW: a link planted at the name makes the open fail instead of reaching its target.
    // Nothing is ever written to the file; only its lock matters.
    int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return;
        throw unable;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw unable;
    }
    // flock belongs to the open file, not the process: unlike fcntl locks it is not dropped when
    // some other descriptor of the same file is closed, and the kernel releases it on any exit.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        if (held) throw std::runtime_error(folderInUseMessage);
        throw unable;
    }
    // Stored one higher, so that a null handle always means "not locked".
    handle = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
}

FolderLock::~FolderLock() {
    if (handle) ::close(static_cast<int>(reinterpret_cast<std::intptr_t>(handle) - 1));
}
