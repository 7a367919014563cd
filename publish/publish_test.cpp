// nuvrapublish as an admin runs it, and the updater reading what it wrote.
#include "publish/publish.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"

namespace fs = std::filesystem;

namespace {

ProcessResult publish(const std::vector<std::string>& args) {
    return runProcess(NUVRA_PUBLISH_EXE, args);
}

std::string addedLine(int number, const fs::path& file) {
    const ContentDigest digest = digestFile(file);
    return "Added modpak " + std::to_string(number) + ": " + file.filename().string() + " (" +
           std::to_string(digest.size) + " bytes, sha256 " + digest.sha256 + ")\n";
}

struct PublishTest : ::testing::Test {
    TempDir temp;
    fs::path content = temp.path() / "content";
    fs::path server = temp.path() / "server";

    PublishTest() { fs::create_directories(content); }
};

}  // namespace

// Three modpaks published and fetched over HTTP; then one is replaced without rehash, and a fresh
// game folder stops at it.
TEST_F(PublishTest, RoundTripOverHttp) {
    LoopbackServer http(temp.path() / "http");
    const fs::path dir = http.folder();
    ProcessResult result = publish({"init", dir.string(), "--url", http.url("/")});
    ASSERT_EQ(0, result.status) << result.err;
    EXPECT_EQ("Initialized the server folder " + dir.string() +
                  "\nPlayers' nuvraconfig.json: {\"nuvraVersion\":6,\"url\":\"" + http.url("/") +
                  "\",\"os\":\"any\"}\n",
              result.out);
    writeSevenZip(content / "mod1.7z",
                  {fileEntry("data/core.txt", "core"), fileEntry("old.txt", "o")});
    writeSevenZip(content / "mod2.7z", {fileEntry("maps/harbour.map", "harbour")});
    writeFileBytes(content / "readme.txt", "read me");
    for (const char* name : {"mod1.7z", "mod2.7z"}) {
        result = publish({"add", dir.string(), (content / name).string()});
        EXPECT_EQ(0, result.status) << result.err;
    }
    result =
        publish({"add", dir.string(), (content / "readme.txt").string(), "--retire", "old.txt"});
    EXPECT_EQ(addedLine(3, content / "readme.txt") + "  retires the file old.txt\n", result.out);
    result = publish({"check", dir.string()});
    EXPECT_EQ("No problems found\n", result.out);
    EXPECT_EQ(0, result.status);

    auto update = [&](const fs::path& game) {
        fs::create_directories(game);
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + http.url("/") + R"(","os":"any"})");
        return runProcess(NUVRA_UPDATER_EXE, {"--headless", "--root", game.string()});
    };
    const fs::path game = temp.path() / "game";
    result = update(game);
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ("core", readFileBytes(game / "data" / "core.txt"));
    EXPECT_EQ("harbour", readFileBytes(game / "maps" / "harbour.map"));
    EXPECT_EQ("read me", readFileBytes(game / "readme.txt"));
    EXPECT_FALSE(fs::exists(game / "old.txt"));
    EXPECT_EQ(R"([{"modPakNum":1,"name":"mod1.7z"},{"modPakNum":2,"name":"mod2.7z"},)"
              R"({"modPakNum":3,"name":"readme.txt"}])",
              readFileBytes(game / "nuvramodlocal.json"));

    const std::string recorded = std::to_string(digestFile(dir / "mod2.7z").size);
    writeSevenZip(dir / "mod2.7z", {fileEntry("maps/harbour.map", "harbour, second edition")});
    const std::string found = std::to_string(digestFile(dir / "mod2.7z").size);
    const fs::path fresh = temp.path() / "fresh";
    result = update(fresh);
    EXPECT_EQ(1, result.status);
    // The longer body is cut off at the recorded size, so its full length is never known.
    EXPECT_EQ("Nuvra Updater error: Size mismatch for modpak 2: mod2.7z: expected " + recorded +
                  " bytes, received more\n",
              result.err);
    EXPECT_EQ(R"([{"modPakNum":1,"name":"mod1.7z"}])", readFileBytes(fresh / "nuvramodlocal.json"));
    EXPECT_FALSE(fs::exists(fresh / "maps"));
    EXPECT_FALSE(fs::exists(fresh / "mod2.7z"));
    EXPECT_FALSE(fs::exists(fresh / "mod2.7z.part"));

    result = publish({"check", dir.string()});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Changed file for modpak 2: mod2.7z (size " + recorded + " recorded, " + found +
                  " found)\n1 problem found\n",
              result.out);
    result = publish({"rehash", dir.string()});
    EXPECT_EQ(0, result.status);
    EXPECT_EQ(addedLine(2, dir / "mod2.7z").replace(0, 5, "Rehashed"), result.out);
    EXPECT_EQ(0, update(fresh).status);
    EXPECT_EQ("harbour, second edition", readFileBytes(fresh / "maps" / "harbour.map"));
}

TEST_F(PublishTest, AddRefusesAndLeavesTheServerAsItWas) {
    initServer(server, "http://example.invalid/");
    writeFileBytes(content / "a.7z", "first");
    addModpak(server, content / "a.7z", {});
    const std::string manifest = readFileBytes(server / "nuvramodremote1.json");
    fs::create_directories(content / "other");
    writeFileBytes(content / "other" / "a.7z", "second");
    writeFileBytes(content / "b.7z", "b");
    writeFileBytes(server / "b.7z", "B");  // the size alone cannot tell them apart
    struct Case {
        fs::path file;
        std::vector<FileEntry> retired;
        std::string message;
    };
    const std::vector<Case> cases = {
        {content / "a.7z", {}, "Already published as modpak 1: a.7z"},
        {content / "other" / "a.7z", {}, "Already published as modpak 1: a.7z"},
        {content / "b.7z", {}, "A different file named b.7z is already in " + server.string()},
        {content / "other" / "..", {}, "Refusing unsafe name: .."},
        {content / "c.7z",
         {{0, "../outside", false}},
         "Refusing unsafe path to retire: ../outside"},
        {content / "c.7z", {{0, "/etc", true}}, "Refusing unsafe path to retire: /etc"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.message, thrownMessage([&] { addModpak(server, c.file, c.retired); }));
        EXPECT_EQ(manifest, readFileBytes(server / "nuvramodremote1.json"));
        EXPECT_EQ("[]\n", readFileBytes(server / "nuvrafile.json"));
    }
    EXPECT_EQ("B", readFileBytes(server / "b.7z"));
    EXPECT_EQ("Already a server folder: " + server.string(),
              thrownMessage([&] { initServer(server, "x"); }));
    // The same bytes already in the folder are taken as they are.
    writeFileBytes(server / "b.7z", "b");
    EXPECT_EQ(2, addModpak(server, content / "b.7z", {{0, "maps/old", true}}).entry.modPakNum);
    EXPECT_EQ("[\n{\"modPakNum\":2,\"name\":\"maps/old\",\"isDirectory\":true}\n]\n",
              readFileBytes(server / "nuvrafile.json"));
}

TEST_F(PublishTest, CheckListsEveryProblem) {
    fs::create_directories(server);
    writeSevenZip(server / "good.7z", {fileEntry("x", "x")});
    writeFileBytes(server / "bad.7z", "not an archive");
    writeFileBytes(server / "plain.txt", "plain");
    const ContentDigest good = digestFile(server / "good.7z");
    const ContentDigest bad = digestFile(server / "bad.7z");
    writeFileBytes(server / "changed.txt", "CHANGED");
    const ContentDigest sameSize = digestFile(server / "changed.txt");
    writeFileBytes(server / "changed.txt", "changed");
    auto promised = [](const ContentDigest& digest) {
        return ",\"size\":" + std::to_string(digest.size) + ",\"sha256\":\"" + digest.sha256 + "\"";
    };
    writeFileBytes(server / "nuvraconfigremote.json",
                   R"({"nuvraVersion":6,"url":"x/","os":"any"})");
    writeFileBytes(server / "nuvramodremote1.json",
                   "[{\"modPakNum\":1,\"name\":\"good.7z\"" + promised(good) +
                       "},\n"
                       "{\"modPakNum\":2,\"name\":\"bad.7z\"" +
                       promised(bad) +
                       "},\n"
                       "{\"modPakNum\":3,\"name\":\"changed.txt\"" +
                       promised(sameSize) +
                       "},\n"
                       "{\"modPakNum\":3,\"name\":\"plain.txt\"},\n"
                       "{\"modPakNum\":4,\"name\":\"../up.7z\"},\n"
                       "{\"modPakNum\":5,\"name\":\"gone.7z\"}]");
    writeFileBytes(server / "nuvrafile.json",
                   R"([{"modPakNum":1,"name":"../x","isDirectory":false},)"
                   R"({"modPakNum":9,"name":"y","isDirectory":true}])");
    ProcessResult result = publish({"check", server.string()});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ("Unreadable file for modpak 2: bad.7z (Unable to open archive: " +
                  (server / "bad.7z").string() +
                  " (Unrecognized archive format))\n"
                  "Duplicate number for modpak 3: changed.txt\n"
                  "Changed file for modpak 3: changed.txt (sha256 differs)\n"
                  "Duplicate number for modpak 3: plain.txt\n"
                  "No size or sha256 recorded for modpak 3: plain.txt\n"
                  "Unsafe name for modpak 4: ../up.7z\n"
                  "Missing file for modpak 5: gone.7z\n"
                  "Unsafe path retired by modpak 1: ../x\n"
                  "Retired path for unlisted modpak 9: y\n"
                  "9 problems found\n",
              result.out);
    fs::remove(server / "nuvraconfigremote.json");
    writeFileBytes(server / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"good.7z","size":-1}])");
    writeFileBytes(server / "nuvrafile.json", R"([{"modPakNum":1,"name":"x","isDirectory":tr)");
    EXPECT_EQ(std::vector<std::string>({"Missing nuvraconfigremote.json",
                                        "nuvramodremote1.json: Invalid size for modpak 1: good.7z",
                                        "nuvrafile.json: Incomplete or invalid server file: " +
                                            (server / "nuvrafile.json").string()}),
              checkServer(server));
}

// A file replaced by another of the same size is rehashed too: the size alone says nothing.
TEST_F(PublishTest, RehashNoticesASameSizeChange) {
    fs::create_directories(server);
    writeFileBytes(server / "changed.txt", "CHANGED");
    const ContentDigest before = digestFile(server / "changed.txt");
    writeFileBytes(server / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"changed.txt","size":7,"sha256":")" + before.sha256 +
                       R"("}])");
    writeFileBytes(server / "changed.txt", "changed");
    ProcessResult result = publish({"rehash", server.string()});
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_NE(std::string::npos, readFileBytes(server / "nuvramodremote1.json")
                                     .find(digestFile(server / "changed.txt").sha256));
}

// Names that are one file on Windows and two on Linux: against an earlier modpak's entry, through
// a folder on the way, against an earlier retired path, and within one modpak. `add` tells those
// of the modpak it adds; `check` lists them all.
TEST_F(PublishTest, NamesThatDifferOnlyInCaseAreReported) {
    ASSERT_EQ(0, publish({"init", server.string(), "--url", "http://x/"}).status);
    writeSevenZip(content / "m1.7z", {fileEntry("Data/x.pak", "1"), fileEntry("maps/a.map", "a")});
    writeSevenZip(content / "m2.7z", {fileEntry("data/X.pak", "2"), fileEntry("Maps/b.map", "b")});
    writeSevenZip(content / "m3.7z", {fileEntry("same/A.txt", "A"), fileEntry("same/a.txt", "a"),
                                      fileEntry("Data/x.pak", "3")});
    const std::string m2Clashes =
        "Names differ only in case: data/X.pak (modpak 2) and Data/x.pak (modpak 1)\n"
        "Names differ only in case: Maps (modpak 2) and maps (modpak 1)\n";
    const std::string m3Clashes =
        "Names differ only in case: OLD.txt (modpak 3) and old.txt (modpak 1)\n"
        "Names differ only in case: same/a.txt (modpak 3) and same/A.txt (modpak 3)\n";
    ProcessResult result =
        publish({"add", server.string(), (content / "m1.7z").string(), "--retire", "old.txt"});
    EXPECT_EQ(addedLine(1, content / "m1.7z") + "  retires the file old.txt\n", result.out);
    result = publish({"add", server.string(), (content / "m2.7z").string()});
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ(addedLine(2, content / "m2.7z") + m2Clashes, result.out);
    result = publish({"add", server.string(), (content / "m3.7z").string(), "--retire", "OLD.txt"});
    EXPECT_EQ(addedLine(3, content / "m3.7z") + "  retires the file OLD.txt\n" + m3Clashes,
              result.out);

    result = publish({"check", server.string()});
    EXPECT_EQ(1, result.status);
    EXPECT_EQ(m2Clashes + m3Clashes + "4 problems found\n", result.out);
}
