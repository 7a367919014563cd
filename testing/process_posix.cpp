#include "testing/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <stdexcept>

extern char** environ;

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

pid_t startProcess(const fs::path& program, const std::vector<std::string>& args, int outFd,
                   int errFd, const fs::path& workingDir,
                   const std::map<std::string, std::string>& environment) {
    // Everything the child needs is built before fork: a forked copy of a threaded test process
    // may only make async-signal-safe calls.
    std::vector<std::string> argStrings = {program.string()};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        if (!environment.contains(text.substr(0, text.find('='))))
            envStrings.push_back(std::move(text));
    }
    for (const auto& [name, value] : environment)
        envStrings.push_back(name + "=" + value);
    std::vector<char*> argv, envp;
    for (auto& text : argStrings)
        argv.push_back(text.data());
    for (auto& text : envStrings)
        envp.push_back(text.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, 0);
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0)
            ::_exit(126);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

namespace {

int exitStatusOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int waitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return exitStatusOf(status);
}

ProcessResult runProcess(const fs::path& program, const std::vector<std::string>& args,
                         const fs::path& workingDir,
                         const std::map<std::string, std::string>& environment) {
    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = startProcess(program, args, outPipe[1], errPipe[1], workingDir, environment);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ProcessResult result;
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen) {
        pollfd fds[2] = {{outOpen ? outPipe[0] : -1, POLLIN, 0},
                         {errOpen ? errPipe[0] : -1, POLLIN, 0}};
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
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.status = exitStatusOf(status);
    result.peakKiB = usage.ru_maxrss;
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
