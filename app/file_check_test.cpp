// The record of installed files, --verify and --repair, end to end with the real executable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <optional>
#include <random>
#include <thread>

#include "manifest/installed_files.h"
#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"

namespace fs = std::filesystem;

namespace {

// Inode and modification time: a file put back is a new file; one left alone keeps both.
std::pair<ino_t, std::int64_t> identity(const fs::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return {0, 0};
    return {info.st_ino, info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec};
}

std::map<std::string, InstalledFile> recordedFiles(const fs::path& root) {
    return readInstalledRecord(root / "nuvrainstalled.json").files;
}

}  // namespace

class FileCheckTest : public ::testing::Test {
protected:
    // Three modpaks: 2 overwrites a file of 1, 3 retires the folder "old" that 1 installed.
    void SetUp() override {
        fs::create_directories(root);
        fs::create_directories(mirror);
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":"http://127.0.0.1:9/","nuvraVersion":6})");
        writeFileBytes(mirror / "nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x/","os":"any"})");
        writeSevenZip(mirror / "m1.7z", {fileEntry("data/core.pak", "core 1"),
                                         fileEntry("data/rules.txt", "rules"),
                                         fileEntry("maps/harbour.map", "harbour"),
                                         fileEntry("old/x.txt", "old")});
        writeSevenZip(mirror / "m2.7z", {fileEntry("data/core.pak", "core 2"),
                                         fileEntry("maps/bay.map", "bay")});
        writeSevenZip(mirror / "m3.7z", {fileEntry("readme.txt", "read me")});
        writeFileBytes(mirror / "nuvrafile.json",
                       R"([{"modPakNum":3,"name":"old","isDirectory":true}])");
        writeFileBytes(mirror / "nuvramodremote1.json",
                       R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},)"
                       R"({"modPakNum":3,"name":"m3.7z"}])");
    }

    ProcessResult run(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--headless", "--root", root.string(), "--source-dir",
                                      mirror.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return runProcess(updaterExecutable(), args);
    }
    ProcessResult runOverHttp(LoopbackServer& server, const std::string& option) {
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":")" + server.url("/") + R"(","nuvraVersion":6})");
        return runProcess(updaterExecutable(), {"--headless", "--root", root.string(), option});
    }
    void update() {
        ProcessResult result = run();
        ASSERT_EQ(0, result.status) << result.out << result.err;
    }

    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path mirror = temp.path() / "mirror";
};

TEST_F(FileCheckTest, RecordFollowsTakeOversAndRetirementsAndANoOpRunAddsNothing) {
    update();
    const std::map<std::string, InstalledFile> expected{
        {"data/core.pak", {6, sha256Of("core 2"), 2}},
        {"data/rules.txt", {5, sha256Of("rules"), 1}},
        {"maps/bay.map", {3, sha256Of("bay"), 2}},
        {"maps/harbour.map", {7, sha256Of("harbour"), 1}},
        {"readme.txt", {7, sha256Of("read me"), 3}}};
    const InstalledRecord record = readInstalledRecord(root / "nuvrainstalled.json");
    EXPECT_EQ(3u, record.modpaks.size());
    ASSERT_EQ(expected.size(), record.files.size());
    for (const auto& [name, file] : expected) {
        ASSERT_TRUE(record.files.contains(name)) << name;
        EXPECT_EQ(file.size, record.files.at(name).size) << name;
        EXPECT_EQ(file.sha256, record.files.at(name).sha256) << name;
        EXPECT_EQ(file.modPakNum, record.files.at(name).modPakNum) << name;
    }
    EXPECT_EQ(R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},)"
              R"({"modPakNum":3,"name":"m3.7z"}])",
              readFileBytes(root / "nuvramodlocal.json"));

    const std::string before = readFileBytes(root / "nuvrainstalled.json");
    const auto recordIdentity = identity(root / "nuvrainstalled.json");
    EXPECT_EQ(0, run().status);
    EXPECT_EQ(recordIdentity, identity(root / "nuvrainstalled.json"));
    EXPECT_EQ(before, readFileBytes(root / "nuvrainstalled.json"));
}

TEST_F(FileCheckTest, VerifyReportsMissingChangedAndTruncatedFilesAndChangesNothing) {
    update();
    ProcessResult clean = run({"--verify"});
    EXPECT_EQ(0, clean.status) << clean.err;
    EXPECT_EQ("Checked 5 files: 0 changed, 0 missing.\n", clean.out);

    fs::remove(root / "maps" / "harbour.map");
    writeFileBytes(root / "data" / "core.pak", "core 3");   // a changed byte
    writeFileBytes(root / "readme.txt", "read");            // cut short
    writeFileBytes(root / "maps" / "mine.map", "players");  // not ours: never reported
    const auto config = readFileBytes(root / "nuvraconfig.json");
    ProcessResult result = run({"--verify"});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Changed: data/core.pak (modpak 2)\n"
              "Missing: maps/harbour.map (modpak 1)\n"
              "Changed: readme.txt (modpak 3)\n"
              "Checked 5 files: 2 changed, 1 missing.\n",
              result.out);
    EXPECT_EQ("", result.err);
    EXPECT_EQ(config, readFileBytes(root / "nuvraconfig.json"));
    EXPECT_FALSE(fs::exists(root / "nuvrafile.json"));
}

TEST_F(FileCheckTest, RepairRestoresExactlyTheDamagedFilesFromTheMirrorOrOverHttp) {
    for (const bool overHttp : {false, true}) {
        SCOPED_TRACE(overHttp ? "over HTTP" : "from the mirror");
        fs::remove_all(root);
        fs::create_directories(root);
        writeFileBytes(root / "nuvraconfig.json",
                       R"({"os":"any","url":"http://127.0.0.1:9/","nuvraVersion":6})");
        update();
        fs::remove(root / "maps" / "harbour.map");
        writeFileBytes(root / "data" / "core.pak", "core X");
        const auto untouched = identity(root / "data" / "rules.txt");
        const auto untouchedBay = identity(root / "maps" / "bay.map");

        std::optional<LoopbackServer> server;
        if (overHttp) {
            server.emplace(temp.path() / "server");
            fs::copy(mirror, server->folder(), fs::copy_options::recursive |
                                                   fs::copy_options::overwrite_existing);
        }
        ProcessResult result = overHttp ? runOverHttp(*server, "--repair") : run({"--repair"});
        EXPECT_EQ(0, result.status) << result.out << result.err;
        EXPECT_EQ("Changed: data/core.pak (modpak 2)\n"
                  "Missing: maps/harbour.map (modpak 1)\n"
                  "Repaired: data/core.pak (modpak 2)\n"
                  "Repaired: maps/harbour.map (modpak 1)\n"
                  "Checked 5 files: 1 changed, 1 missing.\n"
                  "Repaired 2 files; 0 refused.\n",
                  result.out);
        EXPECT_EQ("core 2", readFileBytes(root / "data" / "core.pak"));
        EXPECT_EQ("harbour", readFileBytes(root / "maps" / "harbour.map"));
        EXPECT_EQ(untouched, identity(root / "data" / "rules.txt"));
        EXPECT_EQ(untouchedBay, identity(root / "maps" / "bay.map"));
        EXPECT_FALSE(fs::exists(root / "old"));
        EXPECT_FALSE(fs::exists(root / "m1.7z"));
        EXPECT_FALSE(fs::exists(root / "nuvramodremote1.json"));
        EXPECT_EQ(0, run({"--verify"}).status);
    }
}

TEST_F(FileCheckTest, AnEntryTheServersArchiveNoLongerHoldsIsRefusedAndTheRestRepaired) {
    update();
    writeSevenZip(mirror / "m1.7z", {fileEntry("data/core.pak", "core 1"),
                                     fileEntry("data/rules.txt", "new rules"),
                                     fileEntry("maps/harbour.map", "harbour"),
                                     fileEntry("old/x.txt", "old")});
    writeFileBytes(root / "data" / "rules.txt", "broken");
    fs::remove(root / "maps" / "harbour.map");
    ProcessResult result = run({"--repair"});
    EXPECT_EQ(1, result.status);
    EXPECT_NE(std::string::npos,
              result.out.find("Refused: data/rules.txt (modpak 1): the server's archive no longer "
                              "holds it as recorded\n"))
        << result.out;
    EXPECT_NE(std::string::npos, result.out.find("Repaired: maps/harbour.map (modpak 1)\n"));
    EXPECT_EQ("broken", readFileBytes(root / "data" / "rules.txt"));
    EXPECT_EQ("harbour", readFileBytes(root / "maps" / "harbour.map"));
    EXPECT_FALSE(fs::exists(root / "data" / "rules.txt.part"));
}

TEST_F(FileCheckTest, AFolderUpdatedByAnEarlierVersionIsRecordedFromTheArchives) {
    update();
    const std::map<std::string, InstalledFile> complete = recordedFiles(root);
    fs::remove(root / "nuvrainstalled.json");  // as an earlier version leaves the folder
    ProcessResult verified = run({"--verify"});
    EXPECT_EQ(0, verified.status);
    EXPECT_EQ("Not recorded: modpak 1 (m1.7z)\nNot recorded: modpak 2 (m2.7z)\n"
              "Not recorded: modpak 3 (m3.7z)\n"
              "Checked 0 files: 0 changed, 0 missing; 3 modpak(s) not recorded.\n",
              verified.out);

    fs::remove(root / "maps" / "harbour.map");
    writeFileBytes(root / "maps" / "bay.map", "bay?");
    const auto untouched = identity(root / "data" / "core.pak");
    ProcessResult result = run({"--repair"});
    EXPECT_EQ(0, result.status) << result.out << result.err;
    EXPECT_EQ("harbour", readFileBytes(root / "maps" / "harbour.map"));
    EXPECT_EQ("bay", readFileBytes(root / "maps" / "bay.map"));
    EXPECT_EQ(untouched, identity(root / "data" / "core.pak"));  // modpak 2's, not 1's
    EXPECT_FALSE(fs::exists(root / "old"));                       // retired by modpak 3
    const std::map<std::string, InstalledFile> rebuilt = recordedFiles(root);
    ASSERT_EQ(complete.size(), rebuilt.size());
    for (const auto& [name, file] : complete) {
        ASSERT_TRUE(rebuilt.contains(name)) << name;
        EXPECT_EQ(file.sha256, rebuilt.at(name).sha256) << name;
        EXPECT_EQ(file.modPakNum, rebuilt.at(name).modPakNum) << name;
    }
    EXPECT_EQ("Checked 5 files: 0 changed, 0 missing.\n", run({"--verify"}).out);
}

TEST_F(FileCheckTest, AKilledRepairIsCompletedByTheNextOne) {
    LoopbackServer server(temp.path() / "server");
    std::mt19937 random(26);  // incompressible, so that the archive is as large as its contents
    std::string noise(400 * 1024, '\0');
    for (char& byte : noise) byte = static_cast<char>(random());
    writeSevenZip(mirror / "m1.7z", {fileEntry("big.bin", noise), fileEntry("small.txt", "s")});
    const ContentDigest promised = digestFile(mirror / "m1.7z");
    writeFileBytes(mirror / "nuvrafile.json", "[]");
    writeFileBytes(mirror / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"m1.7z","size":)" + std::to_string(promised.size) +
                       R"(,"sha256":")" + promised.sha256 + R"("}])");
    update();
    fs::remove(root / "big.bin");
    fs::copy(mirror, server.folder(),
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);

    // At 40 kB/s the archive takes seconds: the repair is killed while it downloads.
    writeFileBytes(root / "nuvraconfig.json", R"({"os":"any","url":")" +
                                                  server.url("/throttle/40000/") +
                                                  R"(","nuvraVersion":6})");
    const int devNull = ::open("/dev/null", O_WRONLY);
    const pid_t pid = startProcess(updaterExecutable(),
                                   {"--headless", "--root", root.string(), "--repair"}, devNull,
                                   devNull);
    ::close(devNull);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!(fs::exists(root / "m1.7z.part") && fs::file_size(root / "m1.7z.part") > 0) &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ::kill(pid, SIGKILL);
    waitForExit(pid);
    EXPECT_FALSE(fs::exists(root / "big.bin"));

    ProcessResult result = runOverHttp(server, "--repair");
    EXPECT_EQ(0, result.status) << result.out << result.err;
    EXPECT_EQ(noise, readFileBytes(root / "big.bin"));
    EXPECT_FALSE(fs::exists(root / "m1.7z.part"));
    EXPECT_EQ(0, run({"--verify"}).status);
}
