#include "manifest/config.h"

#include <gtest/gtest.h>

#include "app/update_run.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

struct ConfigTest : ::testing::Test {
    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::path mirror = temp.path() / "mirror";
    UpdateRun run{LaunchOptions{root, mirror, true}};

    ConfigTest() {
        fs::create_directories(root);
        fs::create_directories(mirror);
    }
    fs::path local() const { return root / "nuvraconfig.json"; }
};

}  // namespace

TEST_F(ConfigTest, LocalConfigIsRewrittenCompactWithOurVersion) {
    writeFileBytes(local(), R"({"os":"any","url":"base/","nuvraVersion":1})");
    const UpdaterConfig config = loadLocalConfig(run);
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
    EXPECT_EQ("http://host/a \"b\" c\\", loadLocalConfig(run).url);
    const std::string written = R"({"nuvraVersion":6,"url":"http://host/a \"b\" c\\","os":"w)"
                                "\xC3\xA9\"}";
    EXPECT_EQ(written, readFileBytes(local()));
    for (int round = 0; round < 3; ++round) {
        const UpdaterConfig config = loadLocalConfig(run);
        EXPECT_EQ("http://host/a \"b\" c\\", config.url);
        EXPECT_EQ("w\xC3\xA9", config.os);
        EXPECT_EQ(written, readFileBytes(local()));
    }
}

TEST_F(ConfigTest, LocalConfigThatCannotBeReadIsReportedAndLeftAlone) {
    EXPECT_EQ("Unable to find nuvraconfig.json. Is it in the same directory as nuvraupdater?",
              thrownMessage([&] { loadLocalConfig(run); }));
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
        EXPECT_EQ(message, thrownMessage([&] { loadLocalConfig(run); })) << text;
        EXPECT_EQ(text, readFileBytes(local()));
    }

    fs::remove(local());
    fs::create_directory(local());
    EXPECT_EQ("Unable to open file: " + local().string(),
              thrownMessage([&] { loadLocalConfig(run); }));
}

TEST(UpdaterIsBehind, ComparesIntegerPartsAsSigned) {
    for (double remote : {6.0, 6.99, 0.0, -3.0, -2147483648.0, -2147483649.0, -1e300})
        EXPECT_FALSE(updaterIsBehind(6.0, remote)) << remote;
    for (double remote : {7.0, 7.5, 12.5, 2147483647.0, 2147483648.0, 1e300})
        EXPECT_TRUE(updaterIsBehind(6.0, remote)) << remote;
    EXPECT_FALSE(updaterIsBehind(6.9, 6.1));
    EXPECT_FALSE(updaterIsBehind(-0.5, 0.9));  // both truncate to 0
    EXPECT_TRUE(updaterIsBehind(-1.0, 0.0));
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
