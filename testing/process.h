#pragma once
#include <sys/types.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
    long peakKiB = 0;  // the most memory the process held at once (POSIX only)
};

// Runs `program` with `args` in `workingDir` (empty: the current one), with `environment`
// added to the test's own, and waits for it. Standard input is /dev/null.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workingDir = {},
                         const std::map<std::string, std::string>& environment = {});

// Starts `program` with its standard output and error on the given descriptors (standard input
// is /dev/null) and returns its pid without waiting.
pid_t startProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                   int outFd, int errFd, const std::filesystem::path& workingDir = {},
                   const std::map<std::string, std::string>& environment = {});

// Waits for `pid`: its exit status, or 128 + the signal that ended it.
int waitForExit(pid_t pid);

// The updater executable under test.
std::filesystem::path updaterExecutable();

// Under wine only: the host's (Linux) name of a Windows path, and a detached start of a host
// shell script. Tests use them to reach the Linux programs they need.
std::string hostPath(const std::filesystem::path& path);
void startHostScript(const std::filesystem::path& script);
