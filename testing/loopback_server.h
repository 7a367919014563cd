#pragma once
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

// The test server of testing/loopback_server.py, run as a child process on 127.0.0.1 with a
// port the kernel chooses; see that script for the paths it answers. Everything it needs (the
// served folder, the request log, the certificate) lives under the test's own `workDir`.
// Construction returns once the server accepts connections; destruction stops it.
class LoopbackServer {
public:
    enum class Scheme { http, https };

    // Raises runtime_error when the server (or, for https, its certificate) cannot be made.
    explicit LoopbackServer(const std::filesystem::path& workDir, Scheme scheme = Scheme::http);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // "http://127.0.0.1:PORT" (or https) followed directly by `path`.
    std::string url(const std::string& path) const;
    // The folder served at "/": a file put there is served at once.
    const std::filesystem::path& folder() const { return servedDir; }
    // Serves `body` at "/" + `name` from now on.
    void serve(const std::string& name, const std::string& body) const;
    // The request heads received so far, in order: request line and header lines, each ending
    // in CRLF, then an empty line.
    std::vector<std::string> requests() const;
    // How many connections the server has accepted so far.
    std::size_t connections() const;
    // The self-signed certificate of an https server, valid for 127.0.0.1 only.
    const std::filesystem::path& certificate() const { return certificateFile; }

private:
    std::filesystem::path servedDir;
    std::filesystem::path logFile;
    std::filesystem::path certificateFile;
    std::string base;
    pid_t pid = -1;
};
