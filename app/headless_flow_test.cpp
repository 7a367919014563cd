// End-to-end runs of the real executable in headless mode against a local mirror folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"

namespace fs = std::filesystem;

namespace {

const std::string welcome = "Welcome to Nuvra. Click OK to synchronize your files with the latest.";
const std::string allSet = "Update complete! You are all set to connect.";
const std::string upToDate = "Update complete! You are already up to date.";

// Every name under `folder` with its bytes, a link's target or "<folder>".
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        tree[fs::relative(entry.path(), folder).string()] =
            entry.is_symlink()        ? "<link> " + fs::read_symlink(entry.path()).string()
            : entry.is_regular_file() ? readFileBytes(entry.path())
                                      : "<folder>";
    return tree;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

}  // namespace

class HeadlessFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root);
        fs::create_directories(mirror);
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":"http://127.0.0.1:9/","nuvraVersion":1})");
        setRemoteVersion("6");
        setFileList("[]");
    }

    void setRemoteVersion(const std::string& version) {
        writeFileBytes(mirror / "nuvraconfigremote.json",
                       R"({"nuvraVersion":)" + version + R"(,"url":"x/","os":"any"})");
    }
    void setFileList(const std::string& json) { writeFileBytes(mirror / "nuvrafile.json", json); }
    void setRemote(const std::string& json) {
        writeFileBytes(mirror / "nuvramodremote1.json", json);
    }

    ProcessResult run() {
        return runProcess(updaterExecutable(),
                          {"--headless", "--root", root.string(), "--source-dir", mirror.string()});
    }

    bool remoteFilesPresent() {
        return fs::exists(root / "nuvrafile.json") && fs::exists(root / "nuvramodremote1.json") &&
               fs::exists(root / "nuvraconfigremote.json");
    }
    bool remoteFilesGone() {
        return !fs::exists(root / "nuvrafile.json") && !fs::exists(root / "nuvramodremote1.json") &&
               !fs::exists(root / "nuvraconfigremote.json");
    }

    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path mirror = temp.path() / "mirror";
};

TEST_F(HeadlessFlowTest, NothingPendingRemovesTheRemoteFiles) {
    setRemote(R"([{"modPakNum":4,"name":"x.7z"}])");
    writeFileBytes(root / "nuvramodlocal.json",
                   R"([{"modPakNum":4,"name":"x.7z"},{"modPakNum":9,"name":"z.7z"}])");
    ProcessResult result = run();
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(welcome + "\n" + upToDate + "\n", result.out);
    EXPECT_EQ("", result.err);
    EXPECT_TRUE(remoteFilesGone());
    EXPECT_EQ(R"({"nuvraVersion":6,"url":"http://127.0.0.1:9/","os":"any"})",
              readFileBytes(root / "nuvraconfig.json"));
    EXPECT_EQ(R"([{"modPakNum":4,"name":"x.7z"},{"modPakNum":9,"name":"z.7z"}])",
              readFileBytes(root / "nuvramodlocal.json"));
}

TEST_F(HeadlessFlowTest, OneModpakIsUnpackedRecordedAndItsArchiveRemoved) {
    writeSevenZip(mirror / "m5.7z", {folderEntry("data"), fileEntry("data/a.txt", "alpha")});
    setRemote(R"([{"modPakNum":1,"name":"old.7z"},{"modPakNum":5,"name":"m5.7z"}])");
    writeFileBytes(root / "nuvramodlocal.json", R"([{"modPakNum":1,"name":"old.7z"}])");
    ProcessResult result = run();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ((std::vector<std::string>{welcome, "[0/2] Starting", "[0/2] Cleaning up for modpak 5",
                                        "[1/2] Fetching modpak 5", "[1/2] Applying modpak 5",
                                        "[2/2] Applied modpak 5", allSet}),
              lines(result.out));
    EXPECT_EQ("", result.err);
    EXPECT_EQ("alpha", readFileBytes(root / "data" / "a.txt"));
    EXPECT_FALSE(fs::exists(root / "m5.7z"));
    EXPECT_TRUE(fs::exists(mirror / "m5.7z"));
    EXPECT_EQ(R"([{"modPakNum":1,"name":"old.7z"},{"modPakNum":5,"name":"m5.7z"}])",
              readFileBytes(root / "nuvramodlocal.json"));
    EXPECT_TRUE(remoteFilesGone());

    result = run();
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(welcome + "\n" + upToDate + "\n", result.out);
}

TEST_F(HeadlessFlowTest, FailureStopsTheRunAndKeepsWhatWasApplied) {
    writeSevenZip(mirror / "m1.7z", {fileEntry("one.txt", "1")});
    writeSevenZip(mirror / "m3.7z", {fileEntry("three.txt", "3")});
    setRemote(
        R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},{"modPakNum":3,"name":"m3.7z"}])");
    ProcessResult result = run();
    std::string error = "Local source file not found: " + (mirror / "m2.7z").string();
    EXPECT_EQ(1, result.status);
    EXPECT_EQ((std::vector<std::string>{welcome, "[0/6] Starting", "[0/6] Cleaning up for modpak 1",
                                        "[1/6] Fetching modpak 1", "[1/6] Applying modpak 1",
                                        "[2/6] Applied modpak 1", "[2/6] Cleaning up for modpak 2",
                                        error}),
              lines(result.out));
    EXPECT_EQ("Nuvra Updater error: " + error + "\n", result.err);
    EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"}])", readFileBytes(root / "nuvramodlocal.json"));
    EXPECT_TRUE(fs::exists(root / "one.txt"));
    EXPECT_FALSE(fs::exists(root / "three.txt"));
    EXPECT_TRUE(remoteFilesPresent());
}

TEST_F(HeadlessFlowTest, RepeatedEntriesAndSharedNumbers) {
    writeSevenZip(mirror / "a.7z", {fileEntry("shared.txt", "from a"), fileEntry("a.txt", "a")});
    writeSevenZip(mirror / "b.7z", {fileEntry("b.txt", "b")});
    // Both modpaks numbered 4: the second cleanup removes what the first one unpacked.
    setRemote(
        R"([{"modPakNum":4,"name":"a.7z"},{"modPakNum":4,"name":"a.7z"},{"modPakNum":4,"name":"b.7z"}])");
    setFileList(R"([{"modPakNum":4,"name":"shared.txt","isDirectory":false}])");
    ProcessResult result = run();
    EXPECT_EQ(0, result.status) << result.err;
    std::vector<std::string> out = lines(result.out);
    ASSERT_EQ(11u, out.size()) << result.out;
    EXPECT_EQ("[0/6] Starting", out[1]);
    EXPECT_EQ("[4/6] Applied modpak 4", out[9]);  // the repetition is skipped
    EXPECT_EQ(allSet, out[10]);
    EXPECT_FALSE(fs::exists(root / "shared.txt"));
    EXPECT_TRUE(fs::exists(root / "a.txt"));
    EXPECT_TRUE(fs::exists(root / "b.txt"));
    EXPECT_EQ(R"([{"modPakNum":4,"name":"a.7z"},{"modPakNum":4,"name":"b.7z"}])",
              readFileBytes(root / "nuvramodlocal.json"));
}

TEST_F(HeadlessFlowTest, OtherNamesStayAsFilesAndSubFoldersComeFromTheMirrorsTopLevel) {
    writeFileBytes(mirror / "readme.txt", "read me");
    writeFileBytes(mirror / "m5.7Z", "not unpacked");
    writeSevenZip(mirror / "pack.7z", {fileEntry("inside.txt", "in")});
    setRemote(
        R"([{"modPakNum":1,"name":"readme.txt"},{"modPakNum":2,"name":"m5.7Z"},{"modPakNum":-2,"name":"sub/dir/pack.7z"}])");
    ProcessResult result = run();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("read me", readFileBytes(root / "readme.txt"));
    EXPECT_EQ("not unpacked", readFileBytes(root / "m5.7Z"));
    EXPECT_EQ("in", readFileBytes(root / "inside.txt"));
    EXPECT_FALSE(fs::exists(root / "sub" / "dir" / "pack.7z"));
    EXPECT_NE(std::string::npos, result.out.find("[4/6] Cleaning up for modpak -2\n"));
}

TEST_F(HeadlessFlowTest, CleanupFailureIsReported) {
    writeSevenZip(mirror / "a.7z", {fileEntry("a.txt", "a")});
    writeFileBytes(root / "dir" / "inner", "x");
    setRemote(R"([{"modPakNum":1,"name":"a.7z"}])");
    setFileList(R"([{"modPakNum":1,"name":"dir","isDirectory":false}])");
    ProcessResult result = run();
    std::string error =
        "Unable to delete " + (root / "dir").string() + " for modpak 1: Directory not empty";
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Nuvra Updater error: " + error + "\n", result.err);
    EXPECT_EQ(error, lines(result.out).back());
    EXPECT_FALSE(fs::exists(root / "a.txt"));
    EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
}

TEST_F(HeadlessFlowTest, ErrorsBeforeTheRunnerAreReportedOnce) {
    setRemote("[]");
    setRemoteVersion("7.0");
    ProcessResult result = run();
    std::string gate = "Nuvra Updater needs an update! Grab the latest and try again.";
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(welcome + "\n" + gate + "\n", result.out);
    EXPECT_EQ("Nuvra Updater error: " + gate + "\n", result.err);
    EXPECT_FALSE(fs::exists(root / "nuvrafile.json"));

    // A run in the wrong folder leaves it as it found it, names and bytes.
    fs::remove(root / "nuvraconfig.json");
    writeFileBytes(root / "sub" / "notes.txt", "notes");
    fs::create_symlink("sub/notes.txt", root / "link");
    const std::map<std::string, std::string> before = snapshot(root);
    result = run();
    EXPECT_EQ(before, snapshot(root));
    std::string missing =
        "Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?";
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(missing + "\n", result.out);
    EXPECT_EQ("Nuvra Updater error: " + missing + "\n", result.err);
}

TEST_F(HeadlessFlowTest, UnsafeNamesFromTheServerTouchNothing) {
    fs::path sentinel = temp.path() / "sentinel.txt";
    writeFileBytes(sentinel, "precious");
    writeFileBytes(mirror / "evil.7z", "x");
    fs::create_directory_symlink(temp.path(), root / "up");
    const std::string victim = R"([{"modPakNum":1,"name":"victim.txt","isDirectory":false}])";
    // {modpak name, file list, the name refused}. With an unsafe modpak name the file list names
    // a file inside the game folder: the refusal must come before the modpak's cleanup.
    const std::vector<std::vector<std::string>> cases = {
        {"../evil.7z", victim, "../evil.7z"},
        {"up/evil.7z", victim, "up/evil.7z"},
        {"", victim, ""},
        {"a.7z", R"([{"modPakNum":1,"name":"../sentinel.txt","isDirectory":false}])",
         "../sentinel.txt"},
        {"a.7z", R"([{"modPakNum":1,"name":"up/sentinel.txt","isDirectory":true}])",
         "up/sentinel.txt"},
        {"a.7z", R"([{"modPakNum":1,"name":"","isDirectory":true}])", ""},
        {"a.7z", "[{\"modPakNum\":1,\"name\":\"" + sentinel.string() + "\",\"isDirectory\":false}]",
         sentinel.string()},
    };
    for (const auto& c : cases) {
        writeFileBytes(root / "victim.txt", "kept");
        setRemote(R"([{"modPakNum":1,"name":")" + c[0] + R"("}])");
        setFileList(c[1]);
        ProcessResult result = run();
        EXPECT_EQ(1, result.status) << c[0] << c[1];
        EXPECT_EQ("Nuvra Updater error: Refusing unsafe path for modpak 1: " + c[2] + "\n",
                  result.err);
        EXPECT_EQ("kept", readFileBytes(root / "victim.txt")) << c[0];
        EXPECT_EQ("precious", readFileBytes(sentinel));
        EXPECT_FALSE(fs::exists(temp.path() / "evil.7z"));
        EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
    }
}

// A damaged modpak stops the run after the ones before it, and is not recorded as applied.
TEST_F(HeadlessFlowTest, DamagedArchiveStopsTheRunUnrecorded) {
    writeSevenZip(mirror / "m1.7z", {fileEntry("one.txt", "1")});
    writeSevenZip(mirror / "m3.7z", {fileEntry("three.txt", "3")});
    setRemote(
        R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},{"modPakNum":3,"name":"m3.7z"}])");
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 10007) + "\n";
    writeSevenZip(mirror / "m2.7z", {fileEntry("a.txt", text), fileEntry("b.txt", "b")});
    const std::string whole = readFileBytes(mirror / "m2.7z");
    std::string corrupt = whole;
    corrupt[32 + (corrupt.size() - 32) / 3] ^= 0x55;  // inside the packed stream
    const fs::path archive = root / "m2.7z";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {whole.substr(0, whole.size() - 40),
         "Unable to read archive: " + archive.string() + " (Truncated 7-Zip file body)"},
        {corrupt, "Unable to read archive data"},
    };
    for (const auto& [bytes, error] : cases) {
        writeFileBytes(mirror / "m2.7z", bytes);
        ProcessResult result = run();
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("Nuvra Updater error: " + error + "\n", result.err);
        EXPECT_EQ(error, lines(result.out).back());
        EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"}])",
                  readFileBytes(root / "nuvramodlocal.json"));
        EXPECT_FALSE(fs::exists(root / "three.txt"));
        // Unpacked from the mirror, yet left in the root folder as a copied archive would be.
        EXPECT_TRUE(readFileBytes(archive) == bytes);
    }
}

// An archive that plants a link under its own name and then fails: the copy left in the root
// folder replaces the link, and nothing is written where the link pointed.
TEST_F(HeadlessFlowTest, ArchiveLeftAfterAFailureNeverGoesThroughALink) {
    writeFileBytes(temp.path() / "outside.txt", "keep");
    std::string noise(1024 * 1024, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeSevenZip(mirror / "m2.7z",
                  {linkEntry("m2.7z", "../outside.txt"), fileEntry("a.bin", noise)});
    std::string corrupt = readFileBytes(mirror / "m2.7z");
    corrupt[32 + (corrupt.size() - 32) * 3 / 4] ^= 0x55;  // far into the file's data
    writeFileBytes(mirror / "m2.7z", corrupt);
    setRemote(R"([{"modPakNum":2,"name":"m2.7z"}])");

    ProcessResult result = run();

    EXPECT_EQ("Nuvra Updater error: Unable to read archive data\n", result.err);
    EXPECT_EQ("keep", readFileBytes(temp.path() / "outside.txt"));
    EXPECT_FALSE(fs::is_symlink(root / "m2.7z"));
    EXPECT_TRUE(readFileBytes(root / "m2.7z") == corrupt);
}

// Either file may be a link to a file kept elsewhere: it is read through the link, and the
// rewrite replaces the link with a regular file, leaving the file it pointed to as it was.
TEST_F(HeadlessFlowTest, LinkedConfigurationAndLocalManifestAreReadThroughAndReplaced) {
    const fs::path kept = temp.path() / "kept";
    const std::string config = R"({"os":"any","url":"http://127.0.0.1:9/","nuvraVersion":2})";
    const std::string local = R"([{"modPakNum":1,"name":"m1.7z"}])";
    writeFileBytes(kept / "config.json", config);
    writeFileBytes(kept / "local.json", local);
    fs::remove(root / "nuvraconfig.json");
    fs::create_symlink(kept / "config.json", root / "nuvraconfig.json");
    fs::create_symlink(kept / "local.json", root / "nuvramodlocal.json");
    // No m1.7z in the mirror: applying modpak 1 again would fail the run.
    writeSevenZip(mirror / "m2.7z", {fileEntry("two.txt", "2")});
    setRemote(R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"}])");

    ProcessResult result = run();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("2", readFileBytes(root / "two.txt"));
    EXPECT_FALSE(fs::is_symlink(root / "nuvraconfig.json"));
    EXPECT_FALSE(fs::is_symlink(root / "nuvramodlocal.json"));
    EXPECT_EQ(R"({"nuvraVersion":6,"url":"http://127.0.0.1:9/","os":"any"})",
              readFileBytes(root / "nuvraconfig.json"));
    EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"}])",
              readFileBytes(root / "nuvramodlocal.json"));
    EXPECT_EQ(config, readFileBytes(kept / "config.json"));
    EXPECT_EQ(local, readFileBytes(kept / "local.json"));
}

namespace {

// Starts the updater, reads its standard output until a progress line ends in `text` or one ends
// in `blockedAt` (the run is then waiting on a mirror file that never delivers), and kills it.
// True when `text` came first; the process has then been killed while still running.
bool killAfterLine(const std::vector<std::string>& args, const std::string& text,
                   const std::string& blockedAt) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = startProcess(updaterExecutable(), args, pipeFds[1], devNull);
    ::close(devNull);
    ::close(pipeFds[1]);
    std::string seen;
    bool found = false, blocked = false;
    char buffer[512];
    for (ssize_t got;
         !found && !blocked && (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        seen.append(buffer, static_cast<size_t>(got));
        found = seen.find("] " + text + "\n") != std::string::npos;
        blocked = seen.find("] " + blockedAt + "\n") != std::string::npos;
    }
    ::kill(pid, SIGKILL);
    ::close(pipeFds[0]);
    return waitForExit(pid) == 128 + SIGKILL && found;
}

std::map<std::string, std::string> treeOf(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        std::string relative = fs::relative(entry.path(), root).string();
        tree[relative] = entry.is_regular_file() ? readFileBytes(entry.path()) : "<folder>";
    }
    return tree;
}

}  // namespace

// Each killed run stops at a modpak whose mirror file is a FIFO that no one writes: reading it
// blocks for ever, so the run is still alive when its kill arrives, and it can never get past
// that modpak. Each kill line lies at or beyond the previous run's stopping point, so it appears
// whatever the previous kill interrupted.
TEST_F(HeadlessFlowTest, KilledRunsResumeToTheSameResult) {
    std::string noise(2 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::string remote = "[";
    std::vector<std::string> recorded = {"[]"};
    for (int m = 1; m <= 4; ++m) {
        std::string name = "m" + std::to_string(m) + ".7z";
        writeSevenZip(temp.path() / name,
                      {fileEntry("data" + std::to_string(m) + "/big.bin", noise),
                       fileEntry("shared.txt", "from " + name)});
        fs::copy_file(temp.path() / name, mirror / name);
        remote += std::string(m > 1 ? "," : "") + R"({"modPakNum":)" + std::to_string(m) +
                  R"(,"name":")" + name + R"("})";
        recorded.push_back(remote + "]");
    }
    setFileList(R"([{"modPakNum":3,"name":"data1","isDirectory":true}])");
    setRemote(remote + "]");

    fs::path cleanRoot = temp.path() / "clean";
    fs::create_directories(cleanRoot);
    fs::copy_file(root / "nuvraconfig.json", cleanRoot / "nuvraconfig.json");
    ProcessResult clean =
        runProcess(updaterExecutable(),
                   {"--headless", "--root", cleanRoot.string(), "--source-dir", mirror.string()});
    ASSERT_EQ(0, clean.status) << clean.err;

    // Killed runs see a fifth modpak, which blocks them once the four are applied.
    setRemote(remote + R"(,{"modPakNum":5,"name":"m5.7z"}])");
    ASSERT_EQ(0, ::mkfifo((mirror / "m5.7z").c_str(), 0600));
    std::vector<std::string> args = {"--headless", "--root", root.string(), "--source-dir",
                                     mirror.string()};
    struct Kill {
        std::string line;
        int blockAt;      // the modpak whose mirror file is a FIFO in this run
        int recordedMin;  // modpaks certainly recorded afterwards
    };
    for (const Kill& kill : std::vector<Kill>{{"Applying modpak 1", 2, 0},
                                              {"Fetching modpak 2", 3, 0},
                                              {"Applied modpak 3", 4, 3},
                                              {"Cleaning up for modpak 4", 4, 3},
                                              {"Applying modpak 4", 5, 3},
                                              {"Cleaning up for modpak 5", 5, 4}}) {
        const fs::path blocker = mirror / ("m" + std::to_string(kill.blockAt) + ".7z");
        if (kill.blockAt < 5) {
            fs::remove(blocker);
            ASSERT_EQ(0, ::mkfifo(blocker.c_str(), 0600));
        }
        EXPECT_TRUE(
            killAfterLine(args, kill.line, "Fetching modpak " + std::to_string(kill.blockAt)))
            << kill.line;
        if (kill.blockAt < 5) {
            fs::remove(blocker);
            fs::copy_file(temp.path() / blocker.filename(), blocker);
        }
        // The local manifest is always one whole list, never a torn write.
        const std::string local = fs::exists(root / "nuvramodlocal.json")
                                      ? readFileBytes(root / "nuvramodlocal.json")
                                      : "[]";
        auto at = std::find(recorded.begin(), recorded.end(), local);
        ASSERT_NE(recorded.end(), at) << kill.line << ": " << local;
        EXPECT_GE(at - recorded.begin(), kill.recordedMin) << kill.line;
        EXPECT_LT(at - recorded.begin(), kill.blockAt) << kill.line;
    }
    setRemote(remote + "]");
    ProcessResult last = runProcess(updaterExecutable(), args);
    ASSERT_EQ(0, last.status) << last.err;
    EXPECT_EQ(treeOf(cleanRoot), treeOf(root));
}

// The server promises a size and a hash; whatever else the mirror holds is neither unpacked nor
// recorded, and leaves no file behind.
TEST_F(HeadlessFlowTest, ModpakThatBreaksItsPromiseIsNeitherUnpackedNorRecorded) {
    writeSevenZip(temp.path() / "m2.7z", {fileEntry("two.txt", "2")});
    const std::string archive = readFileBytes(temp.path() / "m2.7z");
    const ContentDigest promised = digestFile(temp.path() / "m2.7z");
    std::string changed = archive;
    changed[changed.size() / 2] ^= 1;
    const std::string page = "<html><body><h1>502 Bad Gateway</h1></body></html>";
    struct Case {
        std::string bytes;
        std::string error;
    };
    const std::string size = std::to_string(archive.size());
    const std::string sizeMismatch =
        "Size mismatch for modpak 2: m2.7z: expected " + size + " bytes, received ";
    const std::vector<Case> cases = {
        {changed, "Checksum mismatch for modpak 2: m2.7z"},
        {archive + "x", sizeMismatch + "more"},
        {archive.substr(0, 40), sizeMismatch + "40"},
        {page, sizeMismatch + std::to_string(page.size())},
    };
    writeSevenZip(mirror / "m1.7z", {fileEntry("one.txt", "1")});
    const ContentDigest first = digestFile(mirror / "m1.7z");
    setRemote(R"([{"modPakNum":1,"name":"m1.7z","size":)" + std::to_string(first.size) +
              R"(,"sha256":")" + first.sha256 + R"("},{"modPakNum":2,"name":"m2.7z","size":)" +
              size + R"(,"sha256":")" + promised.sha256 + R"("}])");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        fs::remove_all(root / "one.txt");
        fs::remove_all(root / "nuvramodlocal.json");
        writeFileBytes(mirror / "m2.7z", c.bytes);
        ProcessResult result = run();
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("Nuvra Updater error: " + c.error + "\n", result.err);
        EXPECT_EQ("1", readFileBytes(root / "one.txt"));
        EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"}])",
                  readFileBytes(root / "nuvramodlocal.json"));
        EXPECT_FALSE(fs::exists(root / "two.txt"));
        EXPECT_FALSE(fs::exists(root / "m2.7z"));
        EXPECT_FALSE(fs::exists(root / "m2.7z.part"));
    }
    writeFileBytes(mirror / "m2.7z", archive);
    ProcessResult result = run();
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("2", readFileBytes(root / "two.txt"));

    // A mirror that is the game folder itself: nothing is copied, and the promise still holds.
    fs::remove(root / "two.txt");
    writeFileBytes(root / "nuvramodlocal.json", R"([{"modPakNum":1,"name":"m1.7z"}])");
    for (const char* name : {"nuvraconfigremote.json", "nuvrafile.json", "nuvramodremote1.json"})
        fs::copy_file(mirror / name, root / name);
    writeFileBytes(root / "m2.7z", changed);
    result = runProcess(updaterExecutable(),
                        {"--headless", "--root", root.string(), "--source-dir", root.string()});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Nuvra Updater error: Checksum mismatch for modpak 2: m2.7z\n", result.err);
    EXPECT_FALSE(fs::exists(root / "two.txt"));
    EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"}])", readFileBytes(root / "nuvramodlocal.json"));
    EXPECT_TRUE(readFileBytes(root / "m2.7z") == changed);
}

// Over HTTP the server files ask for compression and are read decoded, the modpaks ask for none;
// a list cut short by its Content-Length, or a compressed body sent as it is, stops the run
// before anything changes.
TEST_F(HeadlessFlowTest, ServerFilesOverHttpAreDecodedOrRefused) {
    LoopbackServer server(temp.path() / "server");
    // Padded, so that only the manifest is cut at 50 bytes.
    const std::string padding(20, ' ');
    server.serve("nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x/","os":"any"})" + padding);
    server.serve("nuvrafile.json", "[]" + padding + padding + padding);
    const std::string remote = R"([{"modPakNum":1,"name":"a.txt"},{"modPakNum":2,"name":"b.txt"}])";
    server.serve("nuvramodremote1.json", remote);
    server.serve("a.txt", "a");
    server.serve("b.txt", "b");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"/shortlength/50/", "nuvramodremote1.json"}, {"/gzipbody/", "nuvraconfigremote.json"}};
    for (const auto& [prefix, file] : refused) {
        SCOPED_TRACE(prefix);
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":")" + server.url(prefix) + R"(","nuvraVersion":6})");
        ProcessResult result =
            runProcess(updaterExecutable(), {"--headless", "--root", root.string()});
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("Nuvra Updater error: Incomplete or invalid server file: " +
                      (root / file).string() + "\n",
                  result.err);
        EXPECT_FALSE(fs::exists(root / "a.txt"));
        EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
    }
    writeFileBytes(root / "nuvraconfig.json",
                   R"({"os":"any","url":")" + server.url("/gzipasked/") + R"(","nuvraVersion":6})");
    ProcessResult result = runProcess(updaterExecutable(), {"--headless", "--root", root.string()});
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("a", readFileBytes(root / "a.txt"));
    EXPECT_EQ("b", readFileBytes(root / "b.txt"));
    EXPECT_EQ(remote, readFileBytes(root / "nuvramodlocal.json"));
    for (const std::string& head : server.requests()) {
        if (!head.starts_with("GET /gzipasked/")) continue;
        EXPECT_EQ(head.find(".json ") != std::string::npos,
                  head.find("\r\nAccept-Encoding: deflate, gzip\r\n") != std::string::npos)
            << head;
    }
}

// Over HTTP the next modpak downloads while the current one unpacks, over the connection the
// server files came by. None of it shows: the same lines, the same files in the same order, the
// next modpak's cleanup (which here retires a file under that modpak's own name) never meets the
// early download, and a part an earlier run left under that name goes as a download would take it.
TEST_F(HeadlessFlowTest, DownloadsAheadChangeNothingAPlayerSees) {
    LoopbackServer server(temp.path() / "server");
    server.serve("nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    server.serve("nuvrafile.json", R"([{"modPakNum":2,"name":"data","isDirectory":true},)"
                                   R"({"modPakNum":2,"name":"m2.7z","isDirectory":false}])");
    server.serve("nuvramodremote1.json",
                 R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},)"
                 R"({"modPakNum":3,"name":"m3.txt"}])");
    writeSevenZip(server.folder() / "m1.7z",
                  {fileEntry("data/a.txt", "a"), fileEntry("keep.txt", "1")});
    writeSevenZip(server.folder() / "m2.7z", {fileEntry("two.txt", "2")});
    server.serve("m3.txt", "3");
    writeFileBytes(root / "m2.7z", "an old file that modpak 2 retires");
    writeFileBytes(root / "m2.7z.part", "left by an earlier run");
    writeFileBytes(root / "nuvraconfig.json",
                   R"({"os":"any","url":")" + server.url("/") + R"(","nuvraVersion":6})");

    ProcessResult result = runProcess(updaterExecutable(), {"--headless", "--root", root.string()});

    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ(
        (std::vector<std::string>{
            welcome, "[0/6] Starting", "[0/6] Cleaning up for modpak 1", "[1/6] Fetching modpak 1",
            "[1/6] Applying modpak 1", "[2/6] Applied modpak 1", "[2/6] Cleaning up for modpak 2",
            "[3/6] Fetching modpak 2", "[3/6] Applying modpak 2", "[4/6] Applied modpak 2",
            "[4/6] Cleaning up for modpak 3", "[5/6] Fetching modpak 3", "[5/6] Applying modpak 3",
            "[6/6] Applied modpak 3", allSet}),
        lines(result.out));
    // The whole folder: the configuration (rewritten), the local manifest and the modpaks'
    // contents, nothing of the run's own.
    std::map<std::string, std::string> tree = snapshot(root);
    EXPECT_EQ(1u, tree.erase("nuvraconfig.json"));
    EXPECT_EQ(1u, tree.erase("nuvrainstalled.json"));
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"keep.txt", "1"},
                  {"two.txt", "2"},
                  {"m3.txt", "3"},
                  {"nuvramodlocal.json",
                   R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},)"
                   R"({"modPakNum":3,"name":"m3.txt"}])"}}),
              tree);
    std::vector<std::string> fetched;
    for (const std::string& head : server.requests())
        fetched.push_back(head.substr(0, head.find(" HTTP/")));
    EXPECT_EQ((std::vector<std::string>{"GET /nuvraconfigremote.json", "GET /nuvrafile.json",
                                        "GET /nuvramodremote1.json", "GET /m1.7z", "GET /m2.7z",
                                        "GET /m3.txt"}),
              fetched);
    EXPECT_EQ(1u, server.connections());
}

// A failure while the next modpak is downloading ahead leaves what it left when nothing was
// fetched ahead: the damaged archive in the root folder, nothing of the next modpak. A failure of
// the download ahead is reported in the next modpak's turn, as its own fetch's failure.
TEST_F(HeadlessFlowTest, FailuresAroundADownloadAheadLeaveWhatTheyLeft) {
    LoopbackServer server(temp.path() / "server");
    server.serve("nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    // Never unpacked; a megabyte that does not compress, so that it takes its fifty seconds.
    std::mt19937 random(7);
    std::string noise(1024 * 1024, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    server.serve("m2.7z", noise);
    // Some milliseconds to unpack, by which time a small download ahead has ended.
    writeSevenZip(server.folder() / "good1.7z", {fileEntry("one.txt", "1"), fileEntry("n", noise)});
    // Damaged inside its data, not its header, so that only the unpacking finds it.
    std::string damaged = readFileBytes(server.folder() / "good1.7z");
    damaged[32 + (damaged.size() - 32) / 3] ^= 0x55;
    server.serve("bad1.7z", damaged);
    const std::string slowName = "throttle/20000/m2.7z";  // some fifty seconds
    struct Case {
        std::string first, second;
        std::vector<std::string> endOfOutput;
        std::string error;
        std::vector<std::string> left;
        std::string fileList = "[]";
        std::string secondPromise = "";
    };
    const std::string missing = server.url("/missing2.7z");
    server.serve("small2.7z", "small");
    // What the server promises for small2.7z: the same size, another hash.
    writeFileBytes(temp.path() / "promised", "SMALL");
    const std::string otherHash = digestFile(temp.path() / "promised").sha256;
    const std::vector<Case> cases = {
        {"bad1.7z",
         slowName,
         {"[1/4] Applying modpak 1"},
         "Unable to read archive data",
         {"bad1.7z", "keep", "n", "one.txt"}},
        {"good1.7z",
         "missing2.7z",
         {"[2/4] Applied modpak 1", "[2/4] Cleaning up for modpak 2"},
         "Download failed for " + missing + ": HTTP response code said error",
         {"keep", "n", "nuvramodlocal.json", "one.txt"}},
        // Modpak 2's cleanup fails (a folder listed as a file) once its download ahead is done.
        {"good1.7z",
         "small2.7z",
         {"[2/4] Applied modpak 1", "[2/4] Cleaning up for modpak 2"},
         "Unable to delete " + (root / "keep").string() + " for modpak 2: Directory not empty",
         {"keep", "n", "nuvramodlocal.json", "one.txt"},
         R"([{"modPakNum":2,"name":"keep","isDirectory":false}])"},
        // The download ahead holds the file to its promise as the fetch in its turn would.
        {"good1.7z",
         "small2.7z",
         {"[2/4] Applied modpak 1", "[2/4] Cleaning up for modpak 2"},
         "Checksum mismatch for modpak 2: small2.7z",
         {"keep", "n", "nuvramodlocal.json", "one.txt"},
         "[]",
         R"(,"size":5,"sha256":")" + otherHash + R"(")"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        for (const auto& entry : fs::directory_iterator(root))
            if (entry.path().filename() != "nuvraconfig.json") fs::remove_all(entry.path());
        writeFileBytes(root / "keep" / "x.txt", "x");
        server.serve("nuvrafile.json", c.fileList);
        server.serve("nuvramodremote1.json", R"([{"modPakNum":1,"name":")" + c.first +
                                                 R"("},{"modPakNum":2,"name":")" + c.second + "\"" +
                                                 c.secondPromise + "}]");
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":")" + server.url("/") + R"(","nuvraVersion":6})");

        const auto start = std::chrono::steady_clock::now();
        ProcessResult result =
            runProcess(updaterExecutable(), {"--headless", "--root", root.string()});

        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(1, result.status);
        EXPECT_EQ("Nuvra Updater error: " + c.error + "\n", result.err);
        std::vector<std::string> out = lines(result.out);
        std::vector<std::string> expectedEnd = c.endOfOutput;
        expectedEnd.push_back(c.error);
        ASSERT_GE(out.size(), expectedEnd.size());
        EXPECT_EQ(expectedEnd,
                  std::vector<std::string>(
                      out.end() - static_cast<std::ptrdiff_t>(expectedEnd.size()), out.end()));
        std::vector<std::string> left;
        const std::set<std::string> ofEveryRun = {"nuvraconfig.json", "nuvrafile.json",
                                                  "nuvramodremote1.json", "nuvraconfigremote.json",
                                                  "nuvrainstalled.json"};
        for (const auto& entry : fs::directory_iterator(root))
            if (!ofEveryRun.contains(entry.path().filename().string()))
                left.push_back(entry.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(c.left, left);
    }
}

// The first updater waits on a mirror file that is a FIFO no one writes; a second one on the same
// folder meanwhile is refused before it reads or writes anything, and once the first is killed
// the folder is free again.
TEST_F(HeadlessFlowTest, SecondUpdaterOnTheFolderIsRefusedUntilTheFirstIsGone) {
    setRemote(R"([{"modPakNum":1,"name":"m1.7z"}])");
    ASSERT_EQ(0, ::mkfifo((mirror / "m1.7z").c_str(), 0600));
    int pipeFds[2];
    ASSERT_EQ(0, ::pipe2(pipeFds, O_CLOEXEC));
    int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    // The first names the folder through a link: both meet the lock of the folder itself.
    fs::create_directory_symlink(root, temp.path() / "linked");
    pid_t first = startProcess(updaterExecutable(),
                               {"--headless", "--root", (temp.path() / "linked").string(),
                                "--source-dir", mirror.string()},
                               pipeFds[1], devNull);
    ::close(devNull);
    ::close(pipeFds[1]);
    std::string seen;
    char buffer[512];
    for (ssize_t got; seen.find("Fetching modpak 1\n") == std::string::npos &&
                      (got = ::read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<size_t>(got));
    // Kept open until the first one is killed: it may write again before it blocks on the pipe.
    ASSERT_NE(std::string::npos, seen.find("Fetching modpak 1\n")) << seen;
    const std::string config = readFileBytes(root / "nuvraconfig.json");
    writeFileBytes(root / "nuvraconfig.json", config + " ");

    ProcessResult second = run();
    EXPECT_EQ(1, second.status);
    const std::string refused = "Another Nuvra Updater is already running in this folder.";
    EXPECT_EQ(refused + "\n", second.out);
    EXPECT_EQ("Nuvra Updater error: " + refused + "\n", second.err);
    EXPECT_EQ(config + " ", readFileBytes(root / "nuvraconfig.json"));

    ::kill(first, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitForExit(first));
    ::close(pipeFds[0]);
    fs::remove(mirror / "m1.7z");
    writeSevenZip(mirror / "m1.7z", {fileEntry("one.txt", "1")});
    ProcessResult next = run();
    EXPECT_EQ(0, next.status) << next.err;
    EXPECT_EQ("1", readFileBytes(root / "one.txt"));
}

// The lock file of earlier versions goes at the next run, a link to a file as a link.
TEST_F(HeadlessFlowTest, EarlierLockFileIsRemovedNeverItsTarget) {
    setRemote("[]");
    const fs::path outside = temp.path() / "outside";
    writeFileBytes(outside, "keep");
    for (bool link : {false, true}) {
        if (link)
            fs::create_symlink(outside, root / "nuvraupdater.lock");
        else
            writeFileBytes(root / "nuvraupdater.lock", "");
        ProcessResult result = run();
        EXPECT_EQ(0, result.status) << result.err;
        EXPECT_FALSE(fs::exists(fs::symlink_status(root / "nuvraupdater.lock"))) << link;
    }
    EXPECT_EQ("keep", readFileBytes(outside));
}

// A big modpak after two small ones is downloaded ahead; the server going away half-way through,
// or the run being killed there, keeps what arrived, and the next run asks for the rest by range
// and completes.
TEST_F(HeadlessFlowTest, ABrokenDownloadAheadIsContinuedByTheNextRun) {
    std::mt19937 random(11);
    std::string noise(1024 * 1024, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    const fs::path served = temp.path() / "served";
    fs::create_directories(served);
    writeSevenZip(served / "m1.7z", {fileEntry("one.txt", "1")});
    writeSevenZip(served / "m2.7z", {fileEntry("two.txt", "2")});
    writeSevenZip(served / "m3.7z", {fileEntry("big.bin", noise)});
    std::string manifest = "[";
    for (const char* name : {"m1.7z", "m2.7z", "m3.7z"}) {
        const ContentDigest digest = digestFile(served / name);
        manifest += std::string(manifest.size() > 1 ? "," : "") + R"({"modPakNum":)" + name[1] +
                    R"(,"name":")" + name + R"(","size":)" + std::to_string(digest.size) +
                    R"(,"sha256":")" + digest.sha256 + R"("})";
    }
    writeFileBytes(served / "nuvramodremote1.json", manifest + "]");
    writeFileBytes(served / "nuvrafile.json", "[]");
    writeFileBytes(served / "nuvraconfigremote.json",
                   R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    const fs::path part = root / ("nuvraupdater-" + digestFile(served / "m3.7z").sha256 + ".part");
    auto serveAll = [&](LoopbackServer& server, const std::string& prefix) {
        for (const auto& file : fs::directory_iterator(served))
            server.serve(file.path().filename().string(), readFileBytes(file.path()));
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":")" + server.url(prefix) + R"(","nuvraVersion":6})");
    };
    for (const bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "server stopped");
        for (const auto& entry : fs::directory_iterator(root)) fs::remove_all(entry.path());
        const std::string label = killed ? "killed" : "stopped";
        auto first = std::make_optional<LoopbackServer>(temp.path() / (label + "-first"));
        // Some five seconds for the big one.
        serveAll(*first, "/throttle/200000/");
        int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid_t updater = startProcess(updaterExecutable(), {"--headless", "--root", root.string()},
                                     devNull, devNull);
        ::close(devNull);
        std::error_code absent;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (fs::file_size(part, absent) < 300000 || absent) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (killed) ::kill(updater, SIGKILL);
        first.reset();
        EXPECT_EQ(killed ? 128 + SIGKILL : 1, waitForExit(updater));
        const std::uintmax_t kept = fs::file_size(part);
        EXPECT_GE(kept, 300000u);
        EXPECT_FALSE(fs::exists(root / "big.bin"));

        LoopbackServer second(temp.path() / (label + "-second"));
        serveAll(second, "/");
        ProcessResult result =
            runProcess(updaterExecutable(), {"--headless", "--root", root.string()});
        EXPECT_EQ(0, result.status) << result.err;
        EXPECT_TRUE(readFileBytes(root / "big.bin") == noise);
        std::vector<std::string> asked;
        for (const std::string& head : second.requests())
            if (head.starts_with("GET /m3.7z ")) asked.push_back(head);
        ASSERT_EQ(1u, asked.size());
        EXPECT_NE(std::string::npos, asked[0].find("Range: bytes=" + std::to_string(kept) + "-"))
            << asked[0];
        EXPECT_FALSE(fs::exists(part));
    }
}

// A size without a hash is a key of the server's own meaning (a size shown to players), ignored
// as any other: smaller or larger than the file, in another form, the modpak is applied.
TEST_F(HeadlessFlowTest, ASizeAloneIsIgnored) {
    writeFileBytes(mirror / "a.txt", "8 bytes!");
    for (const std::string size : {"1", "10", "8000000000", "\"12 MB\""}) {
        fs::remove(root / "nuvramodlocal.json");
        setRemote(R"([{"modPakNum":1,"name":"a.txt","size":)" + size + "}]");
        ProcessResult result = run();
        EXPECT_EQ(0, result.status) << size << result.err;
        EXPECT_EQ("8 bytes!", readFileBytes(root / "a.txt"));
    }
}
