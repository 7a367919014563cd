// The Windows executable under wine on its own: one updater per game folder across two .exe
// processes, and what a successful run leaves in the folder. Run by `make test-windows`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> withExe(std::vector<std::string> args) {
    const char* exe = std::getenv("NUVRA_WINDOWS_EXE");
    if (!exe) throw std::runtime_error("NUVRA_WINDOWS_EXE is not set: run make test-windows");
    args.insert(args.begin(), exe);
    return args;
}

std::string unixLines(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

}  // namespace

// The first updater stalls on the server's first file, holding the folder; a second .exe on the
// folder meanwhile is refused, and once the first is killed (its mutex abandoned) a run applies
// the modpak and leaves only the configuration, the local manifest and the modpak's contents.
TEST(WindowsFolderLock, SecondExeIsRefusedAndARunLeavesOnlyTheFilesItNames) {
    TempDir temp;
    const fs::path game = temp.path() / "game";
    fs::create_directories(game);
    LoopbackServer server(temp.path() / "http");
    server.serve("nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    server.serve("nuvrafile.json", "[]");
    server.serve("nuvramodremote1.json", R"([{"modPakNum":1,"name":"m1.7z"}])");
    writeSevenZip(server.folder() / "m1.7z", {fileEntry("data/one.txt", "1")});
    auto configure = [&](const std::string& base) {
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + server.url(base) + R"(","os":"any"})");
    };
    const std::vector<std::string> args = {"--headless", "--root", game.string()};

    configure("/stall/0/");
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> first = withExe(args);
    pid_t firstPid = startProcess("/usr/bin/wine", first, pipeFds[1], devNull);
    ::close(devNull);
    ::close(pipeFds[1]);
    std::string seen;
    char buffer[512];
    for (ssize_t got; seen.find("Click OK") == std::string::npos &&
                      (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<size_t>(got));
    ASSERT_NE(std::string::npos, seen.find("Click OK")) << seen;

    ProcessResult second = runProcess("/usr/bin/wine", withExe(args));
    const std::string refused = "Another Nuvra Updater is already running in this folder.";
    EXPECT_EQ(1, second.status);
    EXPECT_EQ(refused + "\n", unixLines(second.out));
    EXPECT_EQ("Nuvra Updater error: " + refused + "\n", unixLines(second.err));

    ::kill(firstPid, SIGKILL);
    waitForExit(firstPid);
    ::close(pipeFds[0]);
    configure("/");
    ProcessResult next = runProcess("/usr/bin/wine", withExe(args));
    EXPECT_EQ(0, next.status) << next.err;
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(game))
        names.push_back(fs::relative(entry.path(), game).generic_string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"data", "data/one.txt", "nuvraconfig.json",
                                        "nuvrainstalled.json", "nuvramodlocal.json"}),
              names);
}
