#include "engine/server_files.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "engine/update_run.h"
#include "manifest/json_writer.h"
#include "manifest/manifests.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

static bool operator==(const ModpakEntry& a, const ModpakEntry& b) {
    return a.modPakNum == b.modPakNum && a.name == b.name;
}
static bool operator==(const FileEntry& a, const FileEntry& b) {
    return a.modPakNum == b.modPakNum && a.name == b.name && a.isDirectory == b.isDirectory;
}
static void PrintTo(const ModpakEntry& entry, std::ostream* out) {
    *out << "(" << entry.modPakNum << ", " << entry.name << ")";
}
static void PrintTo(const FileEntry& entry, std::ostream* out) {
    *out << "(" << entry.modPakNum << ", " << entry.name << ", " << entry.isDirectory << ")";
}

namespace {

using Modpaks = std::vector<ModpakEntry>;
using Files = std::vector<FileEntry>;

struct ManifestsTest : ::testing::Test {
    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path mirror = temp.path() / "mirror";
    UpdateRun run{LaunchOptions{root, mirror, true}};

    ManifestsTest() {
        fs::create_directories(root);
        fs::create_directories(mirror);
        run.config = UpdaterConfig{"any", 6.0, "http://127.0.0.1:9/unused/"};
    }
    Modpaks modpaksFrom(const std::string& text) {
        writeFileBytes(temp.path() / "list.json", text);
        return parseModpakList(temp.path() / "list.json");
    }
    Files filesFrom(const std::string& text) {
        writeFileBytes(temp.path() / "list.json", text);
        return parseFileList(temp.path() / "list.json");
    }
};

}  // namespace

TEST_F(ManifestsTest, ModpakListKeepsFileOrderAndDuplicates) {
    EXPECT_EQ((Modpaks{{2, "b.7z"}}), modpaksFrom(R"([{"modPakNum":2,"name":"b.7z","size":10}])"));
    EXPECT_EQ(
        (Modpaks{{3, "x"}, {1, "a"}, {3, "x"}, {3, "y"}}),
        modpaksFrom("[\n {\"name\": \"x\", \"modPakNum\": 3},\n {\"modPakNum\":1,\"name\":\"a\"}"
                    ",{\"modPakNum\":3,\"name\":\"x\"}{\"modPakNum\":3,\"name\":\"y\"}]"));
    // The first occurrence counts, even inside a nested object.
    EXPECT_EQ((Modpaks{{9, "a.7z"}}),
              modpaksFrom(R"([{"extra":{"modPakNum":9},"modPakNum":1,"name":"a.7z"}])"));
    for (const std::string empty : {"", "[]", "[1, 2]", "not json at all"})
        EXPECT_EQ(Modpaks{}, modpaksFrom(empty)) << empty;
}

TEST_F(ManifestsTest, FileListReadsAllThreeFields) {
    EXPECT_EQ((Files{{1, "data/old", true}, {-2, "a}b.txt", false}}),
              filesFrom(R"([{"modPakNum":1,"name":"data/old","isDirectory":true},)"
                        R"({"isDirectory":false,"name":"a}b.txt","modPakNum":-2}])"));
}

TEST_F(ManifestsTest, FirstBadObjectAbortsTheWholeList) {
    EXPECT_EQ("Missing integer field: modPakNum", thrownMessage([&] {
                  modpaksFrom(R"([{"modPakNum":1,"name":"a"},{"name":"b.7z"}])");
              }));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([&] { modpaksFrom(R"([{"modPakNum":1,"file":"a"}])"); }));
    EXPECT_EQ("Missing string field: name",
              thrownMessage([&] { modpaksFrom(R"([{"modPakNum":1},{"name":"a"}])"); }));
    EXPECT_EQ("stoi argument out of range",
              thrownMessage([&] { modpaksFrom(R"([{"modPakNum":4294967297,"name":"a"}])"); }));
    EXPECT_EQ("Missing boolean field: isDirectory",
              thrownMessage([&] { filesFrom(R"([{"modPakNum":1,"name":"a","isDirectory":1}])"); }));
    EXPECT_EQ("Unable to open file: " + (temp.path() / "none.json").string(),
              thrownMessage([&] { parseFileList(temp.path() / "none.json"); }));
}

TEST_F(ManifestsTest, LoadManifestsFillsTheRunFromTheMirrorAndTheRootFolder) {
    writeFileBytes(mirror / "nuvramodremote1.json",
                   R"([{"modPakNum":1,"name":"a.7z"},{"modPakNum":2,"name":"b.7z"}])");
    writeFileBytes(root / "nuvrafile.json", R"([{"modPakNum":2,"name":"old","isDirectory":true}])");
    writeFileBytes(root / "nuvramodlocal.json", R"([{"modPakNum":1,"name":"a.7z"}])");
    run.remoteModpaks = {{7, "stale"}};
    run.fileEntries = {{7, "stale", false}};
    loadManifests(run);
    EXPECT_EQ((Modpaks{{1, "a.7z"}, {2, "b.7z"}}), run.remoteModpaks);
    EXPECT_EQ((Files{{2, "old", true}}), run.fileEntries);
    EXPECT_EQ((Modpaks{{1, "a.7z"}}), run.localModpaks);
    EXPECT_EQ(readFileBytes(mirror / "nuvramodremote1.json"),
              readFileBytes(root / "nuvramodremote1.json"));
}

TEST_F(ManifestsTest, MissingLocalManifestLeavesTheLocalListAlone) {
    writeFileBytes(mirror / "nuvramodremote1.json", R"([{"modPakNum":1,"name":"a.7z"}])");
    writeFileBytes(root / "nuvrafile.json", "[]");
    loadManifests(run);
    EXPECT_EQ((Modpaks{{1, "a.7z"}}), run.remoteModpaks);
    EXPECT_EQ(Modpaks{}, run.localModpaks);
    EXPECT_FALSE(fs::exists(root / "nuvramodlocal.json"));
}

TEST_F(ManifestsTest, LoadManifestsReportsFilesItCannotRead) {
    writeFileBytes(mirror / "nuvramodremote1.json", "[]");
    EXPECT_EQ("Unable to open file: " + (root / "nuvrafile.json").string(),
              thrownMessage([&] { loadManifests(run); }));
    writeFileBytes(root / "nuvrafile.json", "[]");
    fs::create_directory(root / "nuvramodlocal.json");
    EXPECT_EQ("Unable to open file: " + (root / "nuvramodlocal.json").string(),
              thrownMessage([&] { loadManifests(run); }));
    fs::remove(mirror / "nuvramodremote1.json");
    EXPECT_EQ("Local source file not found: " + (mirror / "nuvramodremote1.json").string(),
              thrownMessage([&] { loadManifests(run); }));
}

TEST_F(ManifestsTest, LocalManifestGrowsByAppendedEntriesAndNamesSurviveEveryRewrite) {
    const fs::path path = root / "nuvramodlocal.json";
    writeFileBytes(path, R"([{"modPakNum":1,"name":"a.7z"},{"modPakNum":2,"name":"b.7z"}])");
    Modpaks local = parseModpakList(path);
    const Modpaks remote = modpaksFrom(
        R"([{"modPakNum":3,"name":"say \"hi\"\\x.7z"},{"modPakNum":4,"name":"caf\u00e9\/\ttab.7z"}])");
    for (const ModpakEntry& entry : remote) {
        local.push_back(entry);
        writeLocalManifest(path, local);
    }
    const std::string written = R"([{"modPakNum":1,"name":"a.7z"},{"modPakNum":2,"name":"b.7z"},)"
                                R"({"modPakNum":3,"name":"say \"hi\"\\x.7z"},)"
                                R"({"modPakNum":4,"name":"caf)"
                                "\xC3\xA9"
                                R"(/\ttab.7z"}])";
    EXPECT_EQ(written, readFileBytes(path));
    for (int round = 0; round < 3; ++round) {
        const Modpaks again = parseModpakList(path);
        ASSERT_EQ(local, again);
        EXPECT_EQ(remote[0], again[2]);  // still the same modpak as the server's
        writeLocalManifest(path, again);
        EXPECT_EQ(written, readFileBytes(path));
    }
}

TEST_F(ManifestsTest, ServerPromisesAreReadBesideTheirEntries) {
    const std::string hash(64, 'A');
    writeFileBytes(mirror / "nuvramodremote1.json",
                   "\xEF\xBB\xBF\n [{\"modPakNum\":5,\"name\":\"m5.7z\",\"size\" : 5000000000,"
                   "\"sha256\":\"" +
                       hash +
                       "\"},{\"modPakNum\":6,\"name\":\"b\"},"
                       "{\"size\":18446744073709551615,\"modPakNum\":7,\"name\":\"c\","
                       "\"sha256\":\"" +
                       hash + "\"}]\r\n");
    writeFileBytes(root / "nuvrafile.json", "[]");
    loadManifests(run);
    EXPECT_EQ((Modpaks{{5, "m5.7z"}, {6, "b"}, {7, "c"}}), run.remoteModpaks);
    ASSERT_EQ(3u, run.remotePromises.size());
    EXPECT_EQ(5000000000u, run.remotePromises[0].size);
    EXPECT_EQ(hash, run.remotePromises[0].sha256);
    EXPECT_FALSE(run.remotePromises[1].size);
    EXPECT_EQ("", run.remotePromises[1].sha256);
    EXPECT_EQ(18446744073709551615u, run.remotePromises[2].size);
}

// A promise is the pair: a malformed half of it fails before any list changes, and a size or a
// hash alone, whatever it holds, is a key of the server's own, ignored.
TEST_F(ManifestsTest, MalformedPromiseFailsBeforeAnyListChangesAndAHalfIsIgnored) {
    writeFileBytes(root / "nuvrafile.json", "[]");
    const std::string hex(64, 'a');
    for (const std::string bad : {"\"size\":-1", "\"size\":1.5", "\"size\":\"12\"", "\"size\":null",
                                  "\"size\":18446744073709551616", "\"size\":1e3"}) {
        writeFileBytes(mirror / "nuvramodremote1.json",
                       R"([{"modPakNum":1,"name":"a"},{"modPakNum":5,"name":"m5.7z",)" + bad +
                           R"(,"sha256":")" + hex + "\"}]");
        run.remoteModpaks = {{7, "stale"}};
        EXPECT_EQ("Invalid size for modpak 5: m5.7z", thrownMessage([&] { loadManifests(run); }))
            << bad;
        EXPECT_EQ((Modpaks{{7, "stale"}}), run.remoteModpaks);
    }
    for (const std::string& bad : {"\"" + hex.substr(1) + "\"", "\"" + hex + "a\"", hex,
                                   "\"" + hex.substr(1) + "g\"", std::string("\"\"")}) {
        writeFileBytes(mirror / "nuvramodremote1.json",
                       R"([{"modPakNum":5,"name":"m5.7z","size":3,"sha256":)" + bad + "}]");
        EXPECT_EQ("Invalid sha256 for modpak 5: m5.7z", thrownMessage([&] { loadManifests(run); }))
            << bad;
    }
    for (const std::string& half :
         std::vector<std::string>{"\"size\":10", "\"size\":\"12 MB\"", "\"size\":-1",
                                  "\"sha256\":\"" + hex + "\"", "\"sha256\":\"none\""}) {
        writeFileBytes(mirror / "nuvramodremote1.json",
                       R"([{"modPakNum":5,"name":"m5.7z",)" + half + "}]");
        loadManifests(run);
        ASSERT_EQ(1u, run.remotePromises.size()) << half;
        EXPECT_FALSE(run.remotePromises[0].size) << half;
        EXPECT_EQ("", run.remotePromises[0].sha256) << half;
    }
}

// A server file reads as its objects whatever text lies around them; only a body cut short or a
// binary one is refused (nullopt), and the same rule holds for all three server files.
TEST_F(ManifestsTest, ServerFilesAreRefusedOnlyWhenCutShortOrBinary) {
    const std::string a = R"({"modPakNum":1,"name":"a.7z"})";
    const std::string b = R"({"modPakNum":2,"name":"b.7z"})";
    const std::vector<std::pair<std::string, std::optional<Modpaks>>> table = {
        {"junk, 42, [ ] " + a + " , more junk , " + b, Modpaks{{1, "a.7z"}, {2, "b.7z"}}},
        {a, Modpaks{{1, "a.7z"}}},
        {"", Modpaks{}},
        {" \n", Modpaks{}},
        {"<html><body>Bad Gateway</body></html>", Modpaks{}},
        {"]", Modpaks{}},
        {"\xEF\xBB\xBF [" + a + "," + b + "]\r\n", Modpaks{{1, "a.7z"}, {2, "b.7z"}}},
        {"[{\"modPakNum\":3,\"name\":\"caf\xE9 d\xE9j\xE0.7z\"}]",
         Modpaks{{3, "caf\xE9 d\xE9j\xE0.7z"}}},
        {"[" + a + R"(,{"modPakNum":2,"na)", std::nullopt},
        {a + R"( "a note cut sh)", std::nullopt},
        {"[" + a + ",", std::nullopt},
        {"[", std::nullopt},
        {std::string("\x1f\x8b\x08\x00\x00\x00[]", 8), std::nullopt},
        {"[" + a + std::string(1, '\0') + "]", std::nullopt},
    };
    for (const auto& [text, verdict] : table) {
        SCOPED_TRACE(text);
        writeFileBytes(mirror / "nuvramodremote1.json", text);
        writeFileBytes(root / "nuvrafile.json", "[]");
        if (verdict) {
            loadManifests(run);
            EXPECT_EQ(*verdict, run.remoteModpaks);
            continue;
        }
        EXPECT_EQ("Incomplete or invalid server file: " + (root / "nuvramodremote1.json").string(),
                  thrownMessage([&] { loadManifests(run); }));
        writeFileBytes(mirror / "nuvramodremote1.json", "[]");
        writeFileBytes(root / "nuvrafile.json", text);
        EXPECT_EQ("Incomplete or invalid server file: " + (root / "nuvrafile.json").string(),
                  thrownMessage([&] { loadManifests(run); }));
        writeFileBytes(mirror / "nuvraconfigremote.json", text);
        EXPECT_EQ(
            "Incomplete or invalid server file: " + (root / "nuvraconfigremote.json").string(),
            thrownMessage([&] { checkUpdaterVersion(run); }));
    }
    // The local manifest keeps its lenient reading.
    writeFileBytes(root / "nuvrafile.json", "[]");
    writeFileBytes(root / "nuvramodlocal.json", R"({"modPakNum":1,"name":"a.7z"})");
    loadManifests(run);
    EXPECT_EQ((Modpaks{{1, "a.7z"}}), run.localModpaks);
}

TEST_F(ManifestsTest, ServerManifestIsWrittenOneEntryALineWithItsPromises) {
    const fs::path path = temp.path() / "nuvramodremote1.json";
    writeRemoteManifest(path, {});
    EXPECT_EQ("[]\n", readFileBytes(path));
    writeRemoteManifest(path, {{{1, "a \"b\".7z"}, {12, std::string(64, 'f')}},
                               {{2, "c.txt"}, {std::nullopt, ""}}});
    EXPECT_EQ("[\n{\"modPakNum\":1,\"name\":\"a \\\"b\\\".7z\",\"size\":12,\"sha256\":\"" +
                  std::string(64, 'f') + "\"},\n{\"modPakNum\":2,\"name\":\"c.txt\"}\n]\n",
              readFileBytes(path));
    const std::vector<RemoteModpak> again = parseRemoteModpakList(path);
    ASSERT_EQ(2u, again.size());
    EXPECT_EQ((ModpakEntry{1, "a \"b\".7z"}), again[0].entry);
    EXPECT_EQ(12u, again[0].promise.size);
    writeFileList(path, {{3, "maps/old", true}, {3, "x.txt", false}});
    EXPECT_EQ(
        "[\n{\"modPakNum\":3,\"name\":\"maps/old\",\"isDirectory\":true},\n"
        "{\"modPakNum\":3,\"name\":\"x.txt\",\"isDirectory\":false}\n]\n",
        readFileBytes(path));
}

namespace {

// The same game folder and mirror, with the local configuration's name at hand.
struct ConfigTest : ManifestsTest {
    fs::path local() const { return root / "nuvraconfig.json"; }
};

}  // namespace

TEST_F(ConfigTest, LocalConfigIsRewrittenCompactWithOurVersion) {
    writeFileBytes(local(), R"({"os":"any","url":"base/","nuvraVersion":1})");
    const UpdaterConfig config = loadLocalConfig(root);
    EXPECT_EQ("any", config.os);
    EXPECT_EQ("base/", config.url);
    EXPECT_EQ(6.0, config.nuvraVersion);
    EXPECT_EQ(R"({"nuvraVersion":6,"url":"base/","os":"any"})", readFileBytes(local()));
}

TEST_F(ConfigTest, AnyLayoutIsAcceptedAndItsEscapesSurviveEveryRewrite) {
    writeFileBytes(
        local(),
        "{\n  \"nuvraVersion\" : 5.5,\n  \"extra\": [1, 2],\n"
        "  \"url\": \"http:\\/\\/host\\/a \\\"b\\\" c\\\\\",\n  \"os\": \"w\\u00e9\"\n}\n");
    EXPECT_EQ("http://host/a \"b\" c\\", loadLocalConfig(root).url);
    const std::string written = R"({"nuvraVersion":6,"url":"http://host/a \"b\" c\\","os":"w)"
                                "\xC3\xA9\"}";
    EXPECT_EQ(written, readFileBytes(local()));
    for (int round = 0; round < 3; ++round) {
        const UpdaterConfig config = loadLocalConfig(root);
        EXPECT_EQ("http://host/a \"b\" c\\", config.url);
        EXPECT_EQ("w\xC3\xA9", config.os);
        EXPECT_EQ(written, readFileBytes(local()));
    }
}

TEST_F(ConfigTest, LocalConfigThatCannotBeReadIsReportedAndLeftAlone) {
    EXPECT_EQ("Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?",
              thrownMessage([&] { loadLocalConfig(root); }));
    EXPECT_FALSE(fs::exists(local()));

    const std::pair<std::string, std::string> cases[] = {
        {R"({"os":"any","url":"base/"})", "Missing numeric field: nuvraVersion"},
        {R"({"os":"any","url":"base/","nuvraVersion":"6"})", "Missing numeric field: nuvraVersion"},
        {R"({"nuvraVersion":6})", "Missing string field: os"},
        {R"({"os":"any","nuvraVersion":6})", "Missing string field: url"},
        {"{\"os\":\"any\",\"url\":\"b/\",\"nuvraVersion\":" + std::string(400, '9') + "}",
         "stod argument out of range"},
        {"", "Missing string field: os"},
    };
    for (const auto& [text, message] : cases) {
        writeFileBytes(local(), text);
        EXPECT_EQ(message, thrownMessage([&] { loadLocalConfig(root); })) << text;
        EXPECT_EQ(text, readFileBytes(local()));
    }

    fs::remove(local());
    fs::create_directory(local());
    EXPECT_EQ("Unable to open file: " + local().string(),
              thrownMessage([&] { loadLocalConfig(root); }));
}

TEST_F(ConfigTest, VersionGateReadsTheServersConfigurationFromTheMirror) {
    run.config = UpdaterConfig{"any", 6.0, "http://127.0.0.1:9/unused/"};
    const fs::path remote = root / "nuvraconfigremote.json";
    for (const std::string version : {"6", "6.99", "0", "-3", "-2147483649"}) {
        writeFileBytes(mirror / "nuvraconfigremote.json",
                       R"({"os":"any","url":"x/","nuvraVersion":)" + version + "}");
        EXPECT_EQ("", thrownMessage([&] { checkUpdaterVersion(run); })) << version;
    }
    for (const std::string version : {"7", "7.0", "12.5", "2147483648"}) {
        writeFileBytes(mirror / "nuvraconfigremote.json",
                       R"({"os":"any","url":"x/","nuvraVersion":)" + version + "}");
        EXPECT_EQ("Nuvra Updater needs an update! Grab the latest and try again.",
                  thrownMessage([&] { checkUpdaterVersion(run); }))
            << version;
        EXPECT_TRUE(fs::exists(remote));  // left for the player to look at
    }
    writeFileBytes(mirror / "nuvraconfigremote.json", R"({"url":"x/","nuvraVersion":9})");
    EXPECT_EQ("Missing string field: os", thrownMessage([&] { checkUpdaterVersion(run); }));
    fs::remove(mirror / "nuvraconfigremote.json");
    EXPECT_EQ("Local source file not found: " + (mirror / "nuvraconfigremote.json").string(),
              thrownMessage([&] { checkUpdaterVersion(run); }));
}
