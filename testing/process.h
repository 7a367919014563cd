#pragma once
#include <filesystem>
#include <map>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs `program` with `args` in `workingDir` (empty: the current one), with `environment`
// added to the test's own, and waits for it. Standard input is /dev/null.
ProcessResult runProcess(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& workingDir = {},
                         const std::map<std::string, std::string>& environment = {});

// The updater executable under test.
std::filesystem::path updaterExecutable();
