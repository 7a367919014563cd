// The same Python server as on Linux, started on the host through a shell script (see
// process_win32.cpp): it writes its pid and its "port N" line to files that the test waits for.
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr auto startPatience = std::chrono::seconds(30);

}  // namespace

LoopbackServer::LoopbackServer(const fs::path& workDir, Scheme scheme)
    : servedDir(workDir / "served"), logFile(workDir / "requests.log") {
    fs::create_directories(servedDir);
    const fs::path portFile = workDir / "port.txt", pidFile = workDir / "pid.txt";
    auto quoted = [](const fs::path& path) { return "'" + hostPath(path) + "'"; };
    std::string script = "cd " + quoted(workDir) + " || exit 1\n";
    std::string tls;
    if (scheme == Scheme::https) {
        certificateFile = workDir / "server-cert.pem";
        script +=
            "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
            "-addext subjectAltName=IP:127.0.0.1 -keyout server-key.pem "
            "-out server-cert.pem >/dev/null 2>&1 || exit 1\n";
        tls = " --cert server-cert.pem --key server-key.pem";
    }
    script +=
        "echo $$ >pid.tmp && mv pid.tmp pid.txt\n"
        "exec python3 '" NUVRA_TESTING_DIR "/loopback_server.py' --root " +
        quoted(servedDir) + " --log " + quoted(logFile) + tls + " >" + quoted(portFile) + "\n";
    writeFileBytes(workDir / "start-server.sh", script);
    startHostScript(workDir / "start-server.sh");

    const auto deadline = std::chrono::steady_clock::now() + startPatience;
    std::string line;
    while ((line = fs::exists(portFile) ? readFileBytes(portFile) : "").find('\n') ==
           std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("test server did not start in time");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid = static_cast<pid_t>(std::stol(readFileBytes(pidFile)));
    line = line.substr(0, line.find('\n'));
    base = (scheme == Scheme::https ? "https://127.0.0.1:" : "http://127.0.0.1:") +
           line.substr(line.find(' ') + 1);
}

LoopbackServer::~LoopbackServer() {
    try {
        runProcess("/bin/kill", {std::to_string(pid)});
    } catch (...) {
        // run-tests stops every server that outlives its test
    }
}
