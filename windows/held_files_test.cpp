// The Windows executable under wine while a second Windows program holds a game file open, as a
// running game does: the modpak that would replace or remove the file changes nothing and says
// which file, until the holder is gone; a brief hold, as a virus scanner's, is waited out. Run by
// `make test-windows`.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

fs::path windowsExecutable() {
    const char* exe = std::getenv("NUVRA_WINDOWS_EXE");
    if (!exe) throw std::runtime_error("NUVRA_WINDOWS_EXE is not set: run make test-windows");
    return exe;
}

std::string withoutWindowsSpelling(std::string text, const fs::path& game) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    std::replace(text.begin(), text.end(), '\\', '/');
    for (std::size_t at; (at = text.find(game.string())) != std::string::npos;)
        text.replace(at, game.string().size(), "<game>");
    return text;
}

// hold_file.exe of the same Windows build holds `file` for `milliseconds` (0: until ended);
// returns its pid once the file is held.
pid_t startHolder(const fs::path& file, int milliseconds) {
    const fs::path holder = windowsExecutable().parent_path() / "windows" / "hold_file.exe";
    int pipeFds[2];
    EXPECT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    std::vector<std::string> args = {holder.string(), file.string()};
    if (milliseconds > 0) args.push_back(std::to_string(milliseconds));
    pid_t pid = startProcess("/usr/bin/wine", args, pipeFds[1], devNull);
    ::close(devNull);
    ::close(pipeFds[1]);
    std::string seen;
    char buffer[64];
    for (ssize_t got; seen.find("held") == std::string::npos &&
                      (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeFds[0]);
    EXPECT_NE(std::string::npos, seen.find("held")) << "hold_file did not hold " << file;
    return pid;
}

// A game with a file that modpak 1 overwrites (game.dll) and a folder that it retires (olddir),
// served from a mirror or, `overHttp`, by a web server, the modpak promised by size and hash.
struct HeldGame {
    explicit HeldGame(bool overHttp = false) {
        if (overHttp) server.emplace(temp.path() / "server");
        const fs::path served = overHttp ? server->folder() : mirror;
        const std::string url = overHttp ? server->url("/") : "http://127.0.0.1:9/";
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + url + R"(","os":"any"})");
        writeFileBytes(game / "game.dll", "old");
        writeFileBytes(game / "olddir" / "save.txt", "old");
        writeFileBytes(served / "nuvraconfigremote.json",
                       R"({"nuvraVersion":6,"url":"x/","os":"any"})");
        writeFileBytes(served / "nuvrafile.json",
                       R"([{"modPakNum":1,"name":"olddir","isDirectory":true}])");
        writeSevenZip(served / "m1.7z",
                      {fileEntry("game.dll", "new"), fileEntry("added.txt", "added")});
        writeFileBytes(served / "nuvramodremote1.json",
                       R"([{"modPakNum":1,"name":"m1.7z","size":)" +
                           std::to_string(fs::file_size(served / "m1.7z")) + R"(,"sha256":")" +
                           sha256Of(readFileBytes(served / "m1.7z")) + R"("}])");
    }

    std::vector<std::string> arguments() const {
        std::vector<std::string> args = {windowsExecutable().string(), "--headless", "--root",
                                         game.string()};
        if (!server) args.insert(args.end(), {"--source-dir", mirror.string()});
        return args;
    }
    ProcessResult run() { return runProcess("/usr/bin/wine", arguments(), temp.path()); }

    TempDir temp;
    fs::path game = temp.path() / "game", mirror = temp.path() / "mirror";
    std::optional<LoopbackServer> server;
};

struct Held {
    const char* file;
    bool overHttp;
};

class HeldFileTest : public ::testing::TestWithParam<Held> {};

}  // namespace

// Held while the run starts and for good: nothing of the modpak changes (its retired folder
// stays, no entry is written, it is not recorded), the message names the file; once the holder
// has gone the same run applies it.
TEST_P(HeldFileTest, ChangesNothingUntilTheHolderHasGone) {
    HeldGame setup(GetParam().overHttp);
    const std::string file = GetParam().file;
    pid_t holder = startHolder(setup.game / file, 0);
    ProcessResult held = setup.run();
    EXPECT_EQ(1, held.status);
    EXPECT_EQ("Nuvra Updater error: Files in use for modpak 1: <game>/" + file +
                  ". Close the game, or whatever holds them, and try again.\n",
              withoutWindowsSpelling(held.err, setup.game));
    EXPECT_EQ("old", readFileBytes(setup.game / "game.dll"));
    EXPECT_TRUE(fs::exists(setup.game / "olddir" / "save.txt"));
    EXPECT_FALSE(fs::exists(setup.game / "added.txt"));
    EXPECT_FALSE(fs::exists(setup.game / "nuvramodlocal.json"));
    EXPECT_FALSE(fs::exists(setup.game / "m1.7z"));

    ::kill(holder, SIGKILL);
    waitForExit(holder);
    ProcessResult after = setup.run();
    EXPECT_EQ(0, after.status) << after.err;
    EXPECT_EQ("new", readFileBytes(setup.game / "game.dll"));
    EXPECT_FALSE(fs::exists(setup.game / "olddir"));
    // The download kept from the refused run was continued, not fetched again.
    if (setup.server) {
        std::size_t modpakRequests = 0;
        for (const std::string& head : setup.server->requests())
            modpakRequests += head.starts_with("GET /m1.7z ");
        EXPECT_EQ(1u, modpakRequests);
    }
    for (const auto& entry : fs::directory_iterator(setup.game))
        EXPECT_NE(0u, entry.path().filename().string().rfind("nuvraupdater", 0)) << entry.path();
}

// An entry over the held file, and a file inside a retired folder; from the mirror and over HTTP.
INSTANTIATE_TEST_SUITE_P(WindowsHeldFiles, HeldFileTest,
                         ::testing::Values(Held{"game.dll", false}, Held{"olddir/save.txt", false},
                                           Held{"game.dll", true}),
                         [](const auto& param) {
                             return std::string(param.param.overHttp ? "Http" : "Mirror") +
                                    (param.index % 2 == 0 ? "Entry" : "Retired");
                         });

// Held at the moment the run looks, as a virus scanner holds a file it has just seen, and let go
// 300 ms later: the run waits and succeeds.
TEST(WindowsHeldFiles, ABriefHoldIsWaitedOut) {
    HeldGame setup;
    pid_t holder = startHolder(setup.game / "game.dll", 0);
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    int errFd = ::open((setup.temp.path() / "err.txt").c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t updater =
        startProcess("/usr/bin/wine", setup.arguments(), pipeFds[1], errFd, setup.temp.path());
    ::close(errFd);
    ::close(pipeFds[1]);
    // The step line comes just before the modpak's files are looked at.
    std::string seen;
    char buffer[256];
    for (ssize_t got; seen.find("Cleaning up for modpak 1") == std::string::npos &&
                      (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<std::size_t>(got));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ::kill(holder, SIGKILL);
    waitForExit(holder);
    while (::read(pipeFds[0], buffer, sizeof buffer) > 0) {
    }
    ::close(pipeFds[0]);
    EXPECT_EQ(0, waitForExit(updater)) << readFileBytes(setup.temp.path() / "err.txt");
    EXPECT_EQ("new", readFileBytes(setup.game / "game.dll"));
}
