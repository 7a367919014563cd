// Under wine a test can start Linux programs (7zz, openssl, python3): CreateProcess hands a
// program that is not a Windows image to the host, but neither waits for it nor reports its
// status, and pipes do not reach it. So the program runs from a small shell script that writes
// its output and status to files, and the test waits for the status file.
#include <windows.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "testing/process.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

constexpr auto patience = std::chrono::minutes(5);

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

bool isWindowsAbsolute(const std::string& text) {
    return text.size() >= 3 && std::isalpha(static_cast<unsigned char>(text[0])) &&
           text[1] == ':' && (text[2] == '\\' || text[2] == '/');
}

}  // namespace

std::string hostPath(const fs::path& path) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    static const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) throw std::runtime_error("Linux programs can only be started under wine");
    char* name = convert(fs::absolute(path).c_str());
    if (!name) throw std::runtime_error("No host name for " + path.string());
    std::string result(name);
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

void startHostScript(const fs::path& script) {
    std::wstring commandLine = L"/bin/sh \"" + fs::path(hostPath(script)).wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        throw std::runtime_error("Unable to start /bin/sh under wine");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

ProcessResult runProcess(const fs::path& program, const std::vector<std::string>& args,
                         const fs::path& workingDir,
                         const std::map<std::string, std::string>& environment) {
    TempDir scratch;
    const fs::path out = scratch.path() / "out", err = scratch.path() / "err";
    const fs::path status = scratch.path() / "status";
    // Arguments that are Windows paths (C:\...) are given to the Linux program as its own paths.
    std::string command = "exec env";
    for (const auto& [name, value] : environment) command += " " + shellQuoted(name + "=" + value);
    command += " " + shellQuoted(program.generic_string());
    for (const std::string& arg : args)
        command += " " + shellQuoted(isWindowsAbsolute(arg) ? hostPath(arg) : arg);
    std::string script = "(";
    if (!workingDir.empty()) script += "cd " + shellQuoted(hostPath(workingDir)) + " && ";
    script += command + ") </dev/null >" + shellQuoted(hostPath(out)) + " 2>" +
              shellQuoted(hostPath(err)) + "\necho $? >" + shellQuoted(hostPath(status) + ".tmp") +
              "\nmv " + shellQuoted(hostPath(status) + ".tmp") + " " +
              shellQuoted(hostPath(status)) + "\n";
    writeFileBytes(scratch.path() / "run.sh", script);
    startHostScript(scratch.path() / "run.sh");

    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!fs::exists(status)) {
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error(program.generic_string() + " did not end in time");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ProcessResult result;
    result.status = std::atoi(readFileBytes(status).c_str());
    result.out = readFileBytes(out);
    result.err = readFileBytes(err);
    return result;
}

fs::path updaterExecutable() {
    if (const char* fromEnv = std::getenv("NUVRA_EXE")) return fromEnv;
    throw std::runtime_error("NUVRA_EXE is not set");
}
