// nuvrapublish: prepares and checks a server folder for the Nuvra updater.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "manifest/json_writer.h"
#include "publish/publish.h"
#include "transfer/paths.h"

namespace {

const char* const usage =
    "Usage: nuvrapublish init DIR --url URL\n"
    "       nuvrapublish add DIR FILE [--retire PATH]... [--retire-dir PATH]...\n"
    "       nuvrapublish check DIR\n"
    "       nuvrapublish rehash DIR\n";

constexpr int usageStatus = 2;

void printModpak(const char* verb, const RemoteModpak& modpak) {
    std::printf("%s modpak %d: %s (%llu bytes, sha256 %s)\n", verb, modpak.entry.modPakNum,
                modpak.entry.name.c_str(),
                static_cast<unsigned long long>(modpak.promise.size.value_or(0)),
                modpak.promise.sha256.c_str());
}

int run(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fputs(usage, stderr);
        return usageStatus;
    }
    const std::string& command = args[0];
    const auto dir = pathFromText(args[1]);
    if (command == "init" && args.size() == 4 && args[2] == "--url") {
        initServer(dir, args[3]);
        std::printf("Initialized the server folder %s\n", args[1].c_str());
        std::printf(
            "Players' nuvraconfig.json: {\"nuvraVersion\":6,\"url\":\"%s\",\"os\":\"any\"}\n",
            escapeJsonString(args[3]).c_str());
        return 0;
    }
    if (command == "add" && args.size() >= 3 && args.size() % 2 == 1) {
        std::vector<FileEntry> retired;
        for (std::size_t i = 3; i < args.size(); i += 2) {
            if (args[i] != "--retire" && args[i] != "--retire-dir") {
                std::fputs(usage, stderr);
                return usageStatus;
            }
            retired.push_back(FileEntry{0, args[i + 1], args[i] == "--retire-dir"});
        }
        printModpak("Added", addModpak(dir, pathFromText(args[2]), retired));
        for (const FileEntry& entry : retired)
            std::printf("  retires the %s %s\n", entry.isDirectory ? "folder" : "file",
                        entry.name.c_str());
        return 0;
    }
    if (command == "check" && args.size() == 2) {
        const std::vector<std::string> problems = checkServer(dir);
        for (const std::string& problem : problems) std::printf("%s\n", problem.c_str());
        if (problems.empty()) {
            std::printf("No problems found\n");
            return 0;
        }
        std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
        return 1;
    }
    if (command == "rehash" && args.size() == 2) {
        const std::vector<RemoteModpak> changed = rehashServer(dir);
        for (const RemoteModpak& modpak : changed) printModpak("Rehashed", modpak);
        if (changed.empty()) std::printf("Every recorded size and sha256 is current\n");
        return 0;
    }
    std::fputs(usage, stderr);
    return usageStatus;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(usage, stdout);
        return 0;
    }
    try {
        return run(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nuvrapublish: %s\n", error.what());
        return 1;
    }
}
