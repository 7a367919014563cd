#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace fs = std::filesystem;

namespace {

void drain(int fd, std::string& into, bool& open) {
    char buffer[4096];
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0)
        into.append(buffer, static_cast<size_t>(got));
    else if (got == 0 || errno != EINTR)
        open = false;
}

}  // namespace

ProcessResult runProcess(const fs::path& program, const std::vector<std::string>& args,
                         const fs::path& workingDir,
                         const std::map<std::string, std::string>& environment) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)
            ::_exit(126);
        for (const auto& [name, value] : environment)
            ::setenv(name.c_str(), value.c_str(), 1);
        std::vector<char*> argv;
        std::string programText = program.string();
        argv.push_back(programText.data());
        std::vector<std::string> copies = args;
        for (auto& arg : copies)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(programText.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ProcessResult result;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(outPipe[0], result.out, outOpen);
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            drain(errPipe[0], result.err, errOpen);
    }
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

fs::path updaterExecutable() {
    if (const char* fromEnv = std::getenv("NUVRA_EXE"))
        return fromEnv;
#ifdef NUVRA_EXE
    return NUVRA_EXE;
#else
    throw std::runtime_error("NUVRA_EXE is not set");
#endif
}
