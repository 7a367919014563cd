#include "transfer/fetch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/update_run.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class FetchFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root);
        fs::create_directories(mirror);
    }

    TempDir temp;
    fs::path root = temp.path() / "root";
    fs::path mirror = temp.path() / "mirror";
    LoopbackServer server{temp.path() / "server"};
};

TEST_F(FetchFileTest, WithoutMirrorDownloads) {
    UpdateRun run(LaunchOptions{root, std::nullopt, true});
    server.serve("nuvrafile.json", "from server");

    fetchFile(run, server.url("/nuvrafile.json"), root / "nuvrafile.json");

    EXPECT_EQ("from server", readFileBytes(root / "nuvrafile.json"));
    EXPECT_EQ(1u, server.requests().size());
}

TEST_F(FetchFileTest, MirrorCopyReplacesDestinationWithoutAnyRequest) {
    UpdateRun run(LaunchOptions{root, mirror, true});
    server.serve("nuvrafile.json", "from server");
    writeFileBytes(mirror / "nuvrafile.json", "from mirror");
    writeFileBytes(root / "nuvrafile.json", "older and longer local content");

    fetchFile(run, server.url("/nuvrafile.json"), root / "nuvrafile.json");

    EXPECT_EQ("from mirror", readFileBytes(root / "nuvrafile.json"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FetchFileTest, MirrorIsSearchedByLastNameComponentOnly) {
    UpdateRun run(LaunchOptions{root, mirror, true});
    writeFileBytes(mirror / "pack.7z", "flat");
    writeFileBytes(mirror / "sub" / "pack.7z", "nested");
    fs::create_directories(root / "sub");

    fetchFile(run, server.url("/sub/pack.7z"), root / "sub" / "pack.7z");

    EXPECT_EQ("flat", readFileBytes(root / "sub" / "pack.7z"));
}

TEST_F(FetchFileTest, MissingMirrorFileRaisesAndNeverDownloads) {
    UpdateRun run(LaunchOptions{root, mirror, true});
    server.serve("a.7z", "from server");
    writeFileBytes(root / "a.7z", "old");

    EXPECT_EQ("Local source file not found: " + (mirror / "a.7z").string(),
              thrownMessage([&] { fetchFile(run, server.url("/a.7z"), root / "a.7z"); }));
    EXPECT_EQ("old", readFileBytes(root / "a.7z"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FetchFileTest, FolderInMirrorRaisesCopyError) {
    UpdateRun run(LaunchOptions{root, mirror, true});
    fs::create_directories(mirror / "a.7z");

    EXPECT_EQ("copy_file: Is a directory: \"" + (mirror / "a.7z").string() + "\", \"" +
                  (root / "a.7z").string() + "\"",
              thrownMessage([&] { fetchFile(run, server.url("/a.7z"), root / "a.7z"); }));
}

TEST_F(FetchFileTest, MirrorInDestinationFolderLeavesFileUnchanged) {
    // Spelled differently from the destination's folder, so only the files' identity matches.
    UpdateRun run(LaunchOptions{root, root / "sub" / "..", true});
    fs::create_directories(root / "sub");
    writeFileBytes(root / "a.7z", "the only copy");

    fetchFile(run, server.url("/a.7z"), root / "a.7z");

    EXPECT_EQ("the only copy", readFileBytes(root / "a.7z"));
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
