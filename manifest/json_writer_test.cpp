#include "manifest/json_writer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <locale>

#include "manifest/installed_files.h"
#include "testing/temp_dir.h"

#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#define NUVRA_HAS_FILE_SIZE_LIMIT 1
#endif

namespace fs = std::filesystem;

namespace {

// A locale that writes 6.5 as "6,5" and 1234567 as "1.234.567".
struct GermanPunctuation : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\3"; }
};

struct GlobalLocale {
    explicit GlobalLocale(const std::locale& locale) : previous(std::locale::global(locale)) {}
    ~GlobalLocale() { std::locale::global(previous); }
    std::locale previous;
};

}  // namespace

TEST(JsonWriter, EscapesExactlyFiveBytes) {
    EXPECT_EQ(R"(a\"b\\c\n)", escapeJsonString("a\"b\\c\n"));
    EXPECT_EQ(R"(\t\r)", escapeJsonString("\t\r"));
    const std::string kept = std::string("\x01\x00\x1F\x7F/\xC3\xA9\xFF'", 9);
    EXPECT_EQ(kept, escapeJsonString(kept));
}

TEST(JsonWriter, UpdaterConfigIsByteExact) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvraconfig.json";
    writeUpdaterConfig(path, UpdaterConfig{"any", 6.0, "base/"});
    EXPECT_EQ(R"({"nuvraVersion":6,"url":"base/","os":"any"})", readFileBytes(path));
    writeUpdaterConfig(path, UpdaterConfig{"w\"in", 6.5, "http://h/a\\b/"});
    EXPECT_EQ(R"({"nuvraVersion":6.5,"url":"http://h/a\\b/","os":"w\"in"})", readFileBytes(path));
    writeUpdaterConfig(path, UpdaterConfig{"", 1234567, ""});
    EXPECT_EQ(R"({"nuvraVersion":1.23457e+06,"url":"","os":""})", readFileBytes(path));
}

TEST(JsonWriter, NumbersIgnoreThePlayersLocale) {
    TempDir temp;
    GlobalLocale german(std::locale(std::locale::classic(), new GermanPunctuation));
    writeUpdaterConfig(temp.path() / "c.json", UpdaterConfig{"any", 6.5, "u"});
    EXPECT_EQ(R"({"nuvraVersion":6.5,"url":"u","os":"any"})",
              readFileBytes(temp.path() / "c.json"));
    writeLocalManifest(temp.path() / "m.json", {{1234567, "a"}});
    EXPECT_EQ(R"([{"modPakNum":1234567,"name":"a"}])", readFileBytes(temp.path() / "m.json"));
}

TEST(JsonWriter, LocalManifestIsByteExact) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvramodlocal.json";
    writeLocalManifest(path, {});
    EXPECT_EQ("[]", readFileBytes(path));
    writeLocalManifest(path, {{1, "core.7z"}, {2, "maps.7z"}});
    EXPECT_EQ(R"([{"modPakNum":1,"name":"core.7z"},{"modPakNum":2,"name":"maps.7z"}])",
              readFileBytes(path));
    writeLocalManifest(path, {{-2147483647 - 1, "a\tb\\c"}});
    EXPECT_EQ(R"([{"modPakNum":-2147483648,"name":"a\tb\\c"}])", readFileBytes(path));
}

// The record of installed files is read by later versions: its bytes stay as they are, whatever
// the players' locale, and read back to what was written.
TEST(JsonWriter, InstalledRecordIsByteExactAndReadsBack) {
    GlobalLocale german(std::locale(std::locale::classic(), new GermanPunctuation));
    TempDir temp;
    const fs::path path = temp.path() / "nuvrainstalled.json";
    InstalledRecord record;
    record.modpaks = {{1, "core.7z"}, {-2147483647 - 1, "a\tb"}};
    const std::string sha(64, 'e');
    record.files["data/core.pak"] = {18446744073709551615u, sha, 1};
    record.files["x \"y\""] = {1234567, sha, -2147483647 - 1};
    writeInstalledRecord(path, record);
    const std::string expected =
        "[\n"
        R"({"modPakNum":1,"name":"core.7z"},)"
        "\n"
        R"({"modPakNum":-2147483648,"name":"a\tb"},)"
        "\n"
        R"({"modPakNum":1,"size":18446744073709551615,"sha256":")" +
        sha +
        R"(","path":"data/core.pak"},)"
        "\n"
        R"({"modPakNum":-2147483648,"size":1234567,"sha256":")" +
        sha +
        R"(","path":"x \"y\""})"
        "\n]\n";
    EXPECT_EQ(expected, readFileBytes(path));
    const InstalledRecord read = readInstalledRecord(path);
    EXPECT_EQ(record.modpaks.size(), read.modpaks.size());
    ASSERT_EQ(2u, read.files.size());
    EXPECT_EQ(18446744073709551615u, read.files.at("data/core.pak").size);
    EXPECT_EQ(-2147483647 - 1, read.files.at("x \"y\"").modPakNum);
}

// Names taken as they stand must be those normalising gives.
TEST(JsonWriter, RecordedNamesAreNormalWhateverTheirForm) {
    for (const char* name : {"a", "a/b.pak", "a//b", "./a", "a/./b", "a/../b", "a/", "a/b/", ".",
                             "..", "/a", "a/.hidden", "a/..b"})
        EXPECT_EQ(recordedName(fs::path(name)), recordedNameOfNative(fs::path(name).native()))
            << name;
}

TEST(JsonWriter, WriteReplacesTheWholeFileAndLeavesNoTemporary) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvramodlocal.json";
    writeFileBytes(path, std::string(1000, 'o'));
    writeFileBytes(temp.path() / "nuvramodlocal.json.tmp", "left by a killed run");
    const std::string bytes("[]\0\r\n", 5);
    writeTextFile(path, bytes);
    EXPECT_EQ(bytes, readFileBytes(path));
    EXPECT_FALSE(fs::exists(temp.path() / "nuvramodlocal.json.tmp"));
    writeTextFile(path, "");
    EXPECT_EQ("", readFileBytes(path));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(temp.path()), fs::directory_iterator()));
}

TEST(JsonWriter, WriteNeverFollowsALinkAtTheTemporaryName) {
    TempDir temp;
    const fs::path victim = temp.path() / "victim";
    writeFileBytes(victim, "keep");
    fs::create_symlink(victim, temp.path() / "nuvraconfig.json.tmp");
    writeTextFile(temp.path() / "nuvraconfig.json", "new");
    EXPECT_EQ("keep", readFileBytes(victim));
    EXPECT_EQ("new", readFileBytes(temp.path() / "nuvraconfig.json"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(temp.path() / "nuvraconfig.json.tmp")));
}

TEST(JsonWriter, FailedWriteKeepsTheOldFile) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvramodlocal.json";
    writeFileBytes(path, "old");
    // A file-size limit makes the writes themselves fail, as a full disk would, even as root.
#ifdef NUVRA_HAS_FILE_SIZE_LIMIT
    rlimit previous{};
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &previous));
    rlimit tiny = previous;
    tiny.rlim_cur = 16;
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &tiny));
    const std::string message =
        thrownMessage([&] { writeTextFile(path, std::string(100000, 'n')); });
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_EQ("Unable to write file: " + path.string(), message);
    EXPECT_EQ("old", readFileBytes(path));
    EXPECT_FALSE(fs::exists(temp.path() / "nuvramodlocal.json.tmp"));
#endif

    const fs::path missingFolder = temp.path() / "gone" / "nuvramodlocal.json";
    EXPECT_EQ("Unable to write file: " + missingFolder.string(),
              thrownMessage([&] { writeLocalManifest(missingFolder, {}); }));
}

TEST(JsonWriter, FailedRenameKeepsTheOldFolderAndRemovesTheTemporary) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvraconfig.json";
    writeFileBytes(path / "inside", "x");
    EXPECT_EQ("Unable to write file: " + path.string(), thrownMessage([&] {
                  writeUpdaterConfig(path, UpdaterConfig{"any", 6.0, "u"});
              }));
    EXPECT_EQ("x", readFileBytes(path / "inside"));
    EXPECT_FALSE(fs::exists(temp.path() / "nuvraconfig.json.tmp"));
}

TEST(JsonWriter, ReadOnlyFolderKeepsTheOldFile) {
    TempDir temp;
    const fs::path folder = temp.path() / "game";
    const fs::path path = folder / "nuvraconfig.json";
    writeFileBytes(path, "old");
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    WithoutPermissionOverride asAPlayer;
    {
        // File systems without permissions (Windows' folders) write anyway.
        std::error_code code;
        std::ofstream probe(folder / "probe");
        const bool writable = probe.is_open();
        probe.close();
        fs::remove(folder / "probe", code);
        if (writable) GTEST_SKIP() << "the folder stays writable here";
    }
    EXPECT_EQ("Unable to write file: " + path.string(),
              thrownMessage([&] { writeTextFile(path, "new"); }));
    EXPECT_EQ("old", readFileBytes(path));
    EXPECT_FALSE(fs::exists(folder / "nuvraconfig.json.tmp"));
}
