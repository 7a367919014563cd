#include "testing/loopback_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* pythonProgram = "/usr/bin/python3";
constexpr const char* opensslProgram = "/usr/bin/openssl";
constexpr int startTimeoutMs = 20000;

void makeCertificate(const fs::path& dir, const fs::path& certificate, const fs::path& key) {
    ProcessResult made =
        runProcess(opensslProgram,
                   {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                    "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    key.string(), "-out", certificate.string()},
                   dir);
    if (made.status != 0) throw std::runtime_error("openssl failed: " + made.err);
}

// Reads the "port N" line the server prints once it listens.
std::string readPortLine(int fd) {
    std::string line;
    while (line.find('\n') == std::string::npos) {
        pollfd ready = {fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, startTimeoutMs);
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) throw std::runtime_error("test server did not start in time");
        char buffer[64];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) throw std::runtime_error("test server exited before listening");
        line.append(buffer, static_cast<size_t>(got));
    }
    return line.substr(0, line.find('\n'));
}

}  // namespace

LoopbackServer::LoopbackServer(const fs::path& workDir, Scheme scheme)
    : servedDir(workDir / "served"), logFile(workDir / "requests.log") {
    fs::create_directories(servedDir);
    std::vector<std::string> args = {pythonProgram, NUVRA_TESTING_DIR "/loopback_server.py",
                                     "--root",      servedDir.string(),
                                     "--log",       logFile.string()};
    if (scheme == Scheme::https) {
        certificateFile = workDir / "server-cert.pem";
        fs::path key = workDir / "server-key.pem";
        makeCertificate(workDir, certificateFile, key);
        args.insert(args.end(), {"--cert", certificateFile.string(), "--key", key.string()});
    }
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t parent = ::getpid();
    pid = ::fork();
    if (pid < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        // Take the server down with the test process even if the test dies without cleaning up.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(126);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(pythonProgram, argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string line;
    try {
        line = readPortLine(out[0]);
    } catch (...) {
        ::close(out[0]);
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
        throw;
    }
    ::close(out[0]);
    base = (scheme == Scheme::https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
           line.substr(line.find(' ') + 1);
}

LoopbackServer::~LoopbackServer() {
    ::kill(pid, SIGTERM);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}
