// The real executable in window mode on a private X server, driven with xdotool as a player would.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"
#include "testing/xvfb.h"
#include "ui/notifications.h"
#include "ui/test_display.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* xdotoolProgram = "/usr/bin/xdotool";
constexpr auto patience = std::chrono::seconds(60);

// True when the updater under test is the Windows build run by wine (windows/run-tests says so).
bool underWine() { return std::getenv("NUVRA_UNDER_WINE") != nullptr; }

// The updater running in the background; standard output and error go to files beside the game
// folder.
struct RunningUpdater {
    RunningUpdater(const std::string& display, const fs::path& workDir,
                   const std::vector<std::string>& args)
        : outFile(workDir / "stdout.txt"), errFile(workDir / "stderr.txt") {
        std::string program = updaterExecutable().string();
        pid = ::fork();
        if (pid == 0) {
            int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int in = ::open("/dev/null", O_RDONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            ::setenv("DISPLAY", display.c_str(), 1);
            // The leak checker would list the toolkit's suppressed font caches on standard error,
            // which the tests compare whole.
            const char* leakOptions = std::getenv("LSAN_OPTIONS");
            std::string quiet =
                std::string(leakOptions ? leakOptions : "") + ":print_suppressions=0";
            ::setenv("LSAN_OPTIONS", quiet.c_str(), 1);
            std::vector<std::string> copies = args;
            std::vector<char*> argv{program.data()};
            for (auto& arg : copies) argv.push_back(arg.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
    }
    ~RunningUpdater() {
        if (pid > 0 && !status) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // True once the process has ended; its status is then in `status`.
    bool ended() {
        if (status) return true;
        int raw = 0;
        if (::waitpid(pid, &raw, WNOHANG) != pid) return false;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        return true;
    }

    // The exit status, or -1 when the process is still running after a minute.
    int waitForExit() {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (!ended()) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
        }
        return *status;
    }

    std::string out() const { return lines(outFile); }
    std::string err() const { return lines(errFile); }
    // The Windows build's C runtime ends lines with CR LF.
    static std::string lines(const fs::path& file) {
        std::string text = readFileBytes(file);
        if (underWine())
            for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
                text.erase(at, 1);
        return text;
    }

    fs::path outFile;
    fs::path errFile;
    pid_t pid = -1;
    std::optional<int> status;
};

class WindowFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (xvfb.display.empty() || !fs::exists(xdotoolProgram))
            GTEST_SKIP() << "no X server (Xvfb) or xdotool available";
        fs::create_directories(root);
        fs::create_directories(mirror);
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"linux","url":"http://127.0.0.1:9/","nuvraVersion":6})");
        writeFileBytes(mirror / "nuvraconfigremote.json",
                       R"({"os":"linux","url":"http://127.0.0.1:9/","nuvraVersion":6})");
        writeFileBytes(mirror / "nuvrafile.json", "[]");
        writeFileBytes(mirror / "nuvramodremote1.json",
                       R"([{"modPakNum":1,"name":"a.7z"},{"modPakNum":2,"name":"b.7z"}])");
        writeSevenZip(mirror / "a.7z", {fileEntry("maps/a.txt", "modpak one")});
        writeSevenZip(mirror / "b.7z", {fileEntry("b.txt", "modpak two")});
    }

    void start(std::vector<std::string> args = {}) {
        if (args.empty()) args = {"--root", root.string(), "--source-dir", mirror.string()};
        updater.emplace(xvfb.display, temp.path(), args);
    }

    std::string xdotool(const std::vector<std::string>& args) {
        return runProcess(xdotoolProgram, args, {}, {{"DISPLAY", xvfb.display}}).out;
    }

    // The width and height of X window `id`, 0 where they cannot be read.
    std::pair<int, int> windowSize(const std::string& id) {
        std::istringstream shell(xdotool({"getwindowgeometry", "--shell", id}));
        std::pair<int, int> size;
        for (std::string line; std::getline(shell, line);) {
            if (line.rfind("WIDTH=", 0) == 0) size.first = std::atoi(line.c_str() + 6);
            if (line.rfind("HEIGHT=", 0) == 0) size.second = std::atoi(line.c_str() + 7);
        }
        return size;
    }

    // The shown "Nuvra" window other than `other` whose size `fits`; ends the test with a failure
    // after a minute, or at once when the updater has ended.
    std::string waitForWindow(const std::function<bool(std::pair<int, int>)>& fits,
                              const std::string& what, const std::string& other = "") {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline && !updater->ended()) {
            std::istringstream ids(xdotool({"search", "--onlyvisible", "--name", "^Nuvra$"}));
            for (std::string id; std::getline(ids, id);)
                if (id != other && fits(windowSize(id))) return id;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
        }
        // Thrown, not reported: the rest of the test makes no sense without the window.
        throw std::runtime_error("no " + what + "; stderr: " + updater->err());
    }
    // A dialog other than `other`, which may still be closing. A long text makes it taller.
    std::string waitForDialog(const std::string& other = "") {
        return waitForWindow(
            [](std::pair<int, int> size) { return size.first == 460 && size.second >= 170; },
            "dialog", other);
    }
    std::string waitForProgressWindow() {
        return waitForWindow([](std::pair<int, int> size) { return size == std::pair(420, 155); },
                             "progress window");
    }
    bool progressWindowShown() {
        std::istringstream ids(xdotool({"search", "--onlyvisible", "--name", "^Nuvra$"}));
        for (std::string id; std::getline(ids, id);)
            if (windowSize(id).first == 420) return true;
        return false;
    }

    // Sets the DPI that the updater's next start finds: the X resource Xft.dpi on this test's X
    // server, or under wine the prefix's LogPixels, which stays until it is set again.
    void setScreenDpi(int dpi) {
        if (underWine()) {
            runProcess("/usr/bin/wine",
                       {"reg", "add", "HKCU\\Control Panel\\Desktop", "/v", "LogPixels", "/t",
                        "REG_DWORD", "/d", std::to_string(dpi), "/f"});
            return;
        }
        const fs::path resources = temp.path() / "Xresources";
        writeFileBytes(resources, "Xft.dpi: " + std::to_string(dpi) + "\n");
        runProcess("/usr/bin/xrdb", {"-merge", resources.string()}, {},
                   {{"DISPLAY", xvfb.display}});
    }

    void press(const std::string& window, const std::string& key) {
        xdotool({"windowfocus", "--sync", window, "key", key});
    }
    void clickStart(const std::string& window) {
        xdotool({"mousemove", "--window", window, "65", "105", "click", "1"});
    }

    // True once `area` of the real window shows `expected` (or one of `alternatives`); false
    // after ten seconds. The Windows build draws text with other fonts: of it, only that some
    // text is there can be seen.
    bool shows(const std::string& window, TextArea area, const std::vector<unsigned long>& expected,
               const std::vector<std::vector<unsigned long>>& alternatives = {}) {
        if (expected.empty()) return false;
        const bool otherFonts = underWine();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            std::vector<unsigned long> shown = windowPixels(xvfb.display, std::stoul(window), area);
            if (otherFonts
                    ? std::adjacent_find(shown.begin(), shown.end(), std::not_equal_to<>()) !=
                          shown.end()
                    : shown == expected || std::find(alternatives.begin(), alternatives.end(),
                                                     shown) != alternatives.end())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
        }
        return false;
    }

    // Everything in the game folder, as "path" or "path/" for folders.
    std::vector<std::string> rootListing() {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            names.push_back(fs::relative(entry.path(), root).string() +
                            (entry.is_directory() ? "/" : ""));
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path mirror = temp.path() / "mirror";
    XvfbServer xvfb;
    std::optional<RunningUpdater> updater;
};

const std::string rewrittenConfig =
    R"({"nuvraVersion":6,"url":"http://127.0.0.1:9/","os":"linux"})";
const std::string bothApplied = R"([{"modPakNum":1,"name":"a.7z"},{"modPakNum":2,"name":"b.7z"}])";

}  // namespace

TEST_F(WindowFlowTest, EscapeAtTheWelcomeQuestionExitsZeroBeforeAnyFetch) {
    start();
    press(waitForDialog(), "Escape");
    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->out());
    EXPECT_EQ("", updater->err());
    EXPECT_EQ(std::vector<std::string>{"nuvraconfig.json"}, rootListing());
    EXPECT_EQ(rewrittenConfig, readFileBytes(root / "nuvraconfig.json"));
}

TEST_F(WindowFlowTest, ClosingTheWindowBeforeStartExitsZeroAndKeepsTheRemoteFiles) {
    start();
    press(waitForDialog(), "Return");
    std::string window = waitForProgressWindow();
    requestWindowClose(xvfb.display, std::stoul(window));
    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->err());
    EXPECT_EQ((std::vector<std::string>{"nuvraconfig.json", "nuvraconfigremote.json",
                                        "nuvrafile.json", "nuvramodremote1.json"}),
              rootListing());
}

const std::string welcomeText =
    "Welcome to Nuvra. Click OK to synchronize your files with the latest.";

namespace {

// The game folder's configuration and the server's files on `server`, for one modpak fetched
// from there by `modpakName`.
void serveOneModpak(const LoopbackServer& server, const fs::path& root,
                    const std::string& modpakName) {
    const std::string config =
        R"({"os":"linux","url":")" + server.url("/") + R"(","nuvraVersion":6})";
    writeFileBytes(root / "nuvraconfig.json", config);
    server.serve("nuvraconfigremote.json", config);
    server.serve("nuvrafile.json", "[]");
    server.serve("nuvramodremote1.json", R"([{"modPakNum":1,"name":")" + modpakName + R"("}])");
}

}  // namespace

// Over HTTP: the second modpak downloads while the first one unpacks, beside the window.
TEST_F(WindowFlowTest, StartAppliesEveryModpakAndEnterOnTheCompletionExitsZero) {
    LoopbackServer server(temp.path() / "server");
    serveOneModpak(server, root, "a.7z");
    server.serve("nuvramodremote1.json", bothApplied);
    fs::copy_file(mirror / "a.7z", server.folder() / "a.7z");
    fs::copy_file(mirror / "b.7z", server.folder() / "b.7z");
    start({root.string()});
    std::string welcome = waitForDialog();
    EXPECT_TRUE(shows(welcome, dialogTextArea, dialogTextPicture(welcomeText)));
    press(welcome, "Return");
    std::string window = waitForProgressWindow();
    EXPECT_TRUE(shows(window, statusTextArea, statusTextPicture(2)));
    clickStart(window);
    std::string completion = waitForDialog();
    EXPECT_TRUE(shows(completion, dialogTextArea,
                      dialogTextPicture("Update complete! You are all set to connect.")));
    // The progress window is hidden while the final message is up.
    EXPECT_FALSE(progressWindowShown());
    EXPECT_EQ(bothApplied, readFileBytes(root / "nuvramodlocal.json"));
    press(completion, "Return");

    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->out());
    EXPECT_EQ("", updater->err());
    EXPECT_EQ((std::vector<std::string>{"b.txt", "maps/", "maps/a.txt", "nuvraconfig.json",
                                        "nuvrainstalled.json", "nuvramodlocal.json"}),
              rootListing());
    EXPECT_EQ("modpak one", readFileBytes(root / "maps/a.txt"));
    EXPECT_EQ("modpak two", readFileBytes(root / "b.txt"));
}

TEST_F(WindowFlowTest, AfterAFailedModpakStartIsUsableAgainAndResumesWithoutReapplying) {
    fs::rename(mirror / "b.7z", temp.path() / "b.7z");
    start();
    press(waitForDialog(), "Return");
    std::string window = waitForProgressWindow();
    clickStart(window);
    std::string error = waitForDialog();
    EXPECT_TRUE(shows(error, dialogTextArea,
                      dialogTextPicture("Local source file not found: " +
                                        (temp.path() / "mirror" / "b.7z").string())));
    EXPECT_TRUE(progressWindowShown());
    EXPECT_EQ(R"([{"modPakNum":1,"name":"a.7z"}])", readFileBytes(root / "nuvramodlocal.json"));

    // Had the first modpak been applied again, its file would come back.
    fs::remove(root / "maps/a.txt");
    fs::rename(temp.path() / "b.7z", mirror / "b.7z");
    press(error, "Escape");
    clickStart(window);
    press(waitForDialog(), "Return");

    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->out());
    EXPECT_EQ(
        "Nuvra Updater error: Local source file not found: " + (mirror / "b.7z").string() + "\n",
        updater->err());
    EXPECT_EQ((std::vector<std::string>{"b.txt", "maps/", "nuvraconfig.json", "nuvrainstalled.json",
                                        "nuvramodlocal.json"}),
              rootListing());
    EXPECT_EQ(bothApplied, readFileBytes(root / "nuvramodlocal.json"));
}

// What ends the run before the progress window is shown, in a dialog whose OK ends the program.
TEST_F(WindowFlowTest, RunsEndingBeforeTheProgressWindowSaySoInADialog) {
    const std::string gate = "Nuvra Updater needs an update! Grab the latest and try again.";
    const std::string upToDate = "Update complete! You are already up to date.";
    struct Case {
        std::string remoteVersion;
        std::string local;  // the local manifest, if any
        std::string text;
        int status;
        std::vector<std::string> listing;
    };
    for (const Case& c : std::vector<Case>{
             {"7.0", "", gate, 1, {"nuvraconfig.json", "nuvraconfigremote.json"}},
             {"6", bothApplied, upToDate, 0, {"nuvraconfig.json", "nuvramodlocal.json"}}}) {
        writeFileBytes(mirror / "nuvraconfigremote.json",
                       R"({"os":"linux","url":"x","nuvraVersion":)" + c.remoteVersion + "}");
        if (!c.local.empty()) writeFileBytes(root / "nuvramodlocal.json", c.local);
        start();
        std::string welcome = waitForDialog();
        press(welcome, "Return");
        std::string dialog = waitForDialog(welcome);
        EXPECT_TRUE(shows(dialog, dialogTextArea, dialogTextPicture(c.text))) << c.text;
        press(dialog, "Return");
        EXPECT_EQ(c.status, updater->waitForExit());
        EXPECT_EQ("", updater->out());
        EXPECT_EQ(c.status ? "Nuvra Updater error: " + c.text + "\n" : "", updater->err());
        EXPECT_EQ(c.listing, rootListing());
    }
}

// The worker is inside libcurl, its transfer stalled, when the window closes: the process must
// end at once with status 0 and without a crash or a sanitizer report on the way out.
TEST_F(WindowFlowTest, ClosingTheWindowDuringADownloadExitsZero) {
    LoopbackServer server(temp.path() / "server");
    serveOneModpak(server, root, "stall/100/big.7z");
    server.serve("big.7z", std::string(1 << 20, 'x'));

    start({root.string()});
    press(waitForDialog(), "Return");
    std::string window = waitForProgressWindow();
    clickStart(window);
    auto stalled = [&] {
        for (const std::string& head : server.requests())
            if (head.rfind("GET /stall/100/big.7z ", 0) == 0) return true;
        return false;
    };
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!stalled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
    ASSERT_TRUE(stalled());
    requestWindowClose(xvfb.display, std::stoul(window));

    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->out());
    EXPECT_EQ("", updater->err());
    EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
    EXPECT_TRUE(fs::exists(root / "nuvramodremote1.json"));
}

// Closing the window while a big modpak downloads ahead keeps what arrived: the next run asks
// for the rest by range and completes.
TEST_F(WindowFlowTest, ClosingTheWindowDuringADownloadAheadKeepsWhatArrived) {
    LoopbackServer server(temp.path() / "server");
    std::mt19937 random(5);
    std::string noise(1 << 20, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    writeSevenZip(server.folder() / "big.7z", {fileEntry("big.bin", noise)});
    fs::copy_file(mirror / "a.7z", server.folder() / "a.7z");
    const std::string big = readFileBytes(server.folder() / "big.7z");
    const std::string hash = sha256Of(big);
    // Some five seconds for the big one.
    const std::string config =
        R"({"os":"linux","url":")" + server.url("/throttle/200000/") + R"(","nuvraVersion":6})";
    writeFileBytes(root / "nuvraconfig.json", config);
    server.serve("nuvraconfigremote.json", config);
    server.serve("nuvrafile.json", "[]");
    server.serve("nuvramodremote1.json", R"([{"modPakNum":1,"name":"a.7z"},)"
                                         R"({"modPakNum":2,"name":"big.7z","size":)" +
                                             std::to_string(big.size()) + R"(,"sha256":")" + hash +
                                             R"("}])");
    const fs::path part = root / ("nuvraupdater-" + hash + ".part");

    start({root.string()});
    press(waitForDialog(), "Return");
    std::string window = waitForProgressWindow();
    clickStart(window);
    std::error_code absent;
    auto deadline = std::chrono::steady_clock::now() + patience;
    while ((fs::file_size(part, absent) < 300000 || absent) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
    ASSERT_FALSE(absent) << updater->err() << ::testing::PrintToString(rootListing());
    requestWindowClose(xvfb.display, std::stoul(window));
    EXPECT_EQ(0, updater->waitForExit());
    const std::uintmax_t kept = fs::file_size(part);
    EXPECT_GE(kept, 300000u);

    const std::size_t before = server.requests().size();
    start({"--headless", "--root", root.string()});
    EXPECT_EQ(0, updater->waitForExit()) << updater->err();
    EXPECT_TRUE(readFileBytes(root / "big.bin") == noise);
    EXPECT_FALSE(fs::exists(part));
    std::vector<std::string> asked;
    const std::vector<std::string> requests = server.requests();
    for (std::size_t i = before; i < requests.size(); ++i)
        if (requests[i].starts_with("GET /throttle/200000/big.7z ")) asked.push_back(requests[i]);
    ASSERT_EQ(1u, asked.size());
    EXPECT_NE(std::string::npos, asked[0].find("Range: bytes=" + std::to_string(kept) + "-"));
}

// The server is busy and asks for 30 s: the bar says so, counting the seconds down, and the
// window closes during that wait.
TEST_F(WindowFlowTest, ARetryWaitIsShownAndClosingTheWindowDuringItExitsAtOnce) {
    LoopbackServer server(temp.path() / "server");
    serveOneModpak(server, root, "busy/3/30/a.7z");
    const std::string note = "; trying again in 30 s\n";
    // Step 2 of 2 (fetching modpak 1) as the bar shows it, the seconds left counted from 30.
    std::vector<std::vector<unsigned long>> countdown;
    for (int left = 30; left > 20; --left)
        countdown.push_back(progressBarPicture(
            {1, 2,
             "Server said HTTP 503; retry in " + std::to_string(left) + " s (attempt 2 of 3)"}));

    start({root.string()});
    press(waitForDialog(), "Return");
    std::string window = waitForProgressWindow();
    clickStart(window);
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (updater->err().find(note) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
    ASSERT_NE(std::string::npos, updater->err().find(note)) << updater->err();
    EXPECT_TRUE(shows(window, progressBarArea, countdown.front(), countdown));
    const auto closed = std::chrono::steady_clock::now();
    requestWindowClose(xvfb.display, std::stoul(window));

    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_LT(std::chrono::steady_clock::now() - closed, std::chrono::seconds(10));
    EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
}

// Under wine, a second Windows program holds the file that modpak 1 overwrites: Start meets a
// dialog that names it, with Retry and Cancel; Retry while it is still held asks again, and once
// the holder has gone Retry goes on and applies every modpak. (On Linux an open file stops no
// change.)
TEST_F(WindowFlowTest, AFileInUseIsNamedAndRetryGoesOnOnceItIsFree) {
    if (!underWine()) GTEST_SKIP() << "open files stop no change on Linux";
    writeFileBytes(root / "maps" / "a.txt", "held by the game");
    start();
    std::string welcome = waitForDialog();
    // Started now, in the wine server that the updater started.
    const fs::path holderExe =
        fs::path(std::getenv("NUVRA_WINDOWS_EXE")).parent_path() / "windows" / "hold_file.exe";
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t holder = startProcess(
        "/usr/bin/wine", {holderExe.string(), (root / "maps/a.txt").string()}, pipeFds[1], devNull);
    ::close(devNull);
    ::close(pipeFds[1]);
    char held[8] = {};
    EXPECT_GT(::read(pipeFds[0], held, sizeof held), 0);
    ::close(pipeFds[0]);

    press(welcome, "Return");
    std::string window = waitForProgressWindow();
    clickStart(window);
    std::string inUse = waitForDialog();
    EXPECT_TRUE(shows(inUse, dialogTextArea, {1}));
    press(inUse, "Return");
    inUse = waitForDialog(inUse);
    EXPECT_EQ("held by the game", readFileBytes(root / "maps" / "a.txt"));
    EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));

    ::kill(holder, SIGKILL);
    waitForExit(holder);
    press(inUse, "Return");
    press(waitForDialog(inUse), "Return");
    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->err());
    EXPECT_EQ("modpak one", readFileBytes(root / "maps" / "a.txt"));
    EXPECT_EQ(bothApplied, readFileBytes(root / "nuvramodlocal.json"));
}

// Started without --headless to check the files, the updater opens a window that checks at once,
// names what it found and offers Repair; Repair puts back exactly what was damaged.
TEST_F(WindowFlowTest, CheckFilesFindsTheDamageAndRepairPutsItRight) {
    start({"--headless", "--root", root.string(), "--source-dir", mirror.string()});
    ASSERT_EQ(0, updater->waitForExit());
    const std::vector<std::string> applied = rootListing();
    writeFileBytes(root / "maps" / "a.txt", "changed by the player");
    fs::remove(root / "b.txt");

    start({"--root", root.string(), "--source-dir", mirror.string(), "--verify"});
    std::string window = waitForProgressWindow();
    EXPECT_TRUE(shows(window, statusTextArea,
                      statusTextPicture("Checked 2 files: 1 changed, 1 missing. Missing: b.txt "
                                        "(modpak 2) and 1 more. Click Repair to put them right.")));
    EXPECT_EQ("changed by the player", readFileBytes(root / "maps" / "a.txt"));
    // The server's files are fetched for the repair and removed after it.
    auto repaired = [&] {
        return fs::exists(root / "b.txt") &&
               readFileBytes(root / "maps" / "a.txt") == "modpak one" &&
               !fs::exists(root / "nuvrafile.json");
    };
    // Under wine only that some text is shown can be seen, not which: the click is repeated until
    // it meets Repair rather than the button of the check still running.
    auto deadline = std::chrono::steady_clock::now() + patience;
    do {
        clickStart(window);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // polling interval
    } while (underWine() && !repaired() && std::chrono::steady_clock::now() < deadline);
    EXPECT_TRUE(shows(window, statusTextArea, statusTextPicture("Repaired 2 files; 0 refused.")));
    while (!repaired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling interval
    requestWindowClose(xvfb.display, std::stoul(window));
    EXPECT_EQ(0, updater->waitForExit());
    EXPECT_EQ("", updater->err());
    EXPECT_EQ("modpak two", readFileBytes(root / "b.txt"));
    EXPECT_EQ(bothApplied, readFileBytes(root / "nuvramodlocal.json"));
    EXPECT_EQ(applied, rootListing());
}

// At 150 % and 200 % the welcome question and the progress window are that much larger than at
// 96 DPI, where the other tests find them.
TEST_F(WindowFlowTest, WindowsScaleWithTheScreensDpi) {
    // The wine prefix serves the later tests too.
    struct Restore {
        std::function<void()> restore;
        ~Restore() { restore(); }
    } restore{[this] {
        if (underWine()) setScreenDpi(96);
    }};
    for (const auto& [dpi, scale] : {std::pair(144, 1.5), std::pair(192, 2.0)}) {
        SCOPED_TRACE(dpi);
        setScreenDpi(dpi);
        auto scaled = [scale](std::pair<int, int> size, int w, int h) {
            return std::abs(size.first - w * scale) <= 1 && std::abs(size.second - h * scale) <= 1;
        };
        start();
        press(waitForWindow([&](std::pair<int, int> size) { return scaled(size, 460, 170); },
                            "scaled welcome question"),
              "Return");
        std::string window = waitForWindow(
            [&](std::pair<int, int> size) { return scaled(size, 420, 155); }, "scaled window");
        requestWindowClose(xvfb.display, std::stoul(window));
        EXPECT_EQ(0, updater->waitForExit());
        EXPECT_EQ("", updater->err());
    }
}
