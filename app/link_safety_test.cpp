// Links that an archive plants in the game folder must never redirect the updater's own writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct Sentinel {
    std::string bytes;
    struct timespec modified {};
};

Sentinel readSentinel(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return {readFileBytes(path), info.st_mtim};
}

std::string manifestJson(int count) {
    std::string json = "[";
    for (int m = 1; m <= count; ++m)
        json += std::string(m > 1 ? "," : "") + R"({"modPakNum":)" + std::to_string(m) +
                R"(,"name":"m)" + std::to_string(m) + R"(.7z"})";
    return json + "]";
}

}  // namespace

TEST(LinkSafety, PlantedLinksAreReplacedNeverWrittenThrough) {
    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path sentinel = temp.path() / "sentinel.txt";
    fs::create_directories(root);
    writeFileBytes(sentinel, "player's own file");
    Sentinel before = readSentinel(sentinel);

    LoopbackServer server(temp.path() / "server");
    writeFileBytes(root / "nuvraconfig.json",
                   R"({"os":"any","url":")" + server.url("/") + R"(","nuvraVersion":6})");
    server.serve("nuvraconfigremote.json", R"({"nuvraVersion":6,"url":"x","os":"any"})");
    server.serve("nuvrafile.json", "[]");

    // Modpak 1 plants a link at every name the updater writes later, in this run and the next.
    const std::string target = sentinel.string();
    std::vector<SevenZipEntry> planted = {fileEntry("one.txt", "1")};
    for (const char* name : {"nuvrafile.json.part", "nuvramodremote1.json.part",
                             "nuvraconfigremote.json.part", "nuvramodlocal.json.tmp",
                             "nuvramodlocal.json", "m2.7z.part", "m2.7z", "m3.7z.part", "m3.7z"})
        planted.push_back(linkEntry(name, target));
    planted.push_back(linkEntry("sub", temp.path().string()));
    fs::path archives = temp.path() / "archives";
    fs::create_directories(archives);
    writeSevenZip(archives / "m1.7z", planted);
    writeSevenZip(archives / "m2.7z", {fileEntry("two.txt", "2")});
    writeSevenZip(archives / "m3.7z", {fileEntry("three.txt", "3")});
    for (const char* name : {"m1.7z", "m2.7z", "m3.7z"})
        server.serve(name, readFileBytes(archives / name));

    server.serve("nuvramodremote1.json", manifestJson(2));
    ProcessResult first = runProcess(updaterExecutable(), {"--headless", root.string()});
    EXPECT_EQ(0, first.status) << first.err;
    EXPECT_EQ("2", readFileBytes(root / "two.txt"));
    EXPECT_FALSE(fs::is_symlink(root / "nuvramodlocal.json"));

    // The next run downloads through every planted ".part" name.
    server.serve("nuvramodremote1.json", manifestJson(3));
    ProcessResult second = runProcess(updaterExecutable(), {"--headless", root.string()});
    EXPECT_EQ(0, second.status) << second.err;
    EXPECT_EQ("3", readFileBytes(root / "three.txt"));
    EXPECT_EQ(
        R"([{"modPakNum":1,"name":"m1.7z"},{"modPakNum":2,"name":"m2.7z"},{"modPakNum":3,"name":"m3.7z"}])",
        readFileBytes(root / "nuvramodlocal.json"));

    // A name through the planted folder link is refused outright.
    server.serve("nuvramodremote1.json",
                 manifestJson(3).substr(0, manifestJson(3).size() - 1) +
                     R"(,{"modPakNum":4,"name":"sub/sentinel.txt"}])");
    server.serve("sentinel.txt", "overwritten");
    ProcessResult third = runProcess(updaterExecutable(), {"--headless", root.string()});
    EXPECT_EQ(1, third.status);
    EXPECT_EQ("Nuvra Updater error: Refusing unsafe path for modpak 4: sub/sentinel.txt\n",
              third.err);

    Sentinel after = readSentinel(sentinel);
    EXPECT_EQ(before.bytes, after.bytes);
    EXPECT_EQ(before.modified.tv_sec, after.modified.tv_sec);
    EXPECT_EQ(before.modified.tv_nsec, after.modified.tv_nsec);
}
