#include "testing/xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

constexpr const char* xvfbProgram = "/usr/bin/Xvfb";

// Reads the display number Xvfb writes once it is ready; empty on time-out or early exit.
std::string readDisplayNumber(int fd) {
    std::string number;
    while (true) {
        pollfd ready = {fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, 20000);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) return "";
        char c = 0;
        ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return "";
        if (c == '\n') return number;
        number += c;
    }
}

}  // namespace

XvfbServer::XvfbServer() {
    if (::access(xvfbProgram, X_OK) != 0) return;
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) return;
    pid = ::fork();
    if (pid == 0) {
        // The write end must survive exec; it is the only descriptor Xvfb reports on.
        ::dup2(ready[1], 3);
        ::fcntl(3, F_SETFD, 0);  // dup2 onto itself keeps close-on-exec
        int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(devNull, 2);
        // Large enough that windows at 200 % find the room they would on a laptop's screen.
        ::execl(xvfbProgram, xvfbProgram, "-displayfd", "3", "-screen", "0", "2560x1600x24",
                "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(ready[1]);
    if (pid > 0) {
        std::string number = readDisplayNumber(ready[0]);
        if (!number.empty()) display = ":" + number;
    }
    ::close(ready[0]);
}

XvfbServer::~XvfbServer() {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}
