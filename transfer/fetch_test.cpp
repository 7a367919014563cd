#include "transfer/fetch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "app/update_run.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"
#include "transfer/sha256.h"

namespace fs = std::filesystem;

namespace {

std::string sha256Hex(const std::string& bytes) {
    Sha256 hash;
    hash.update(bytes.data(), bytes.size());
    return hash.finishHex();
}

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

// An archive is read where it lies in the mirror, checked there, and nothing happens at its
// destination; what the copy handles (no mirror, the destination itself, a folder) is left to it.
TEST_F(FetchFileTest, SourceFileInPlaceIsCheckedWhereItLies) {
    UpdateRun run(LaunchOptions{root, mirror, true});
    writeFileBytes(mirror / "a.7z", "archive");
    writeFileBytes(root / "a.7z", "old");
    fs::create_directories(mirror / "folder.7z");
    const ContentCheck right{7, sha256Hex("archive"), "modpak 1: a.7z"};
    const ContentCheck shorter{6, "", "modpak 1: a.7z"};
    const ContentCheck wrongHash{7, sha256Hex("archivE"), "modpak 1: a.7z"};

    EXPECT_EQ(mirror / "a.7z", sourceFileInPlace(run, root / "a.7z", &right));
    EXPECT_EQ("Size mismatch for modpak 1: a.7z: expected 6 bytes, received more",
              thrownMessage([&] { sourceFileInPlace(run, root / "a.7z", &shorter); }));
    EXPECT_EQ("Checksum mismatch for modpak 1: a.7z",
              thrownMessage([&] { sourceFileInPlace(run, root / "a.7z", &wrongHash); }));
    EXPECT_EQ("Local source file not found: " + (mirror / "b.7z").string(),
              thrownMessage([&] { sourceFileInPlace(run, root / "b.7z", nullptr); }));
    EXPECT_FALSE(sourceFileInPlace(run, root / "folder.7z", nullptr));
    EXPECT_EQ("old", readFileBytes(root / "a.7z"));

    UpdateRun download(LaunchOptions{root, std::nullopt, true});
    EXPECT_FALSE(sourceFileInPlace(download, root / "a.7z", nullptr));
    UpdateRun mirrorIsRoot(LaunchOptions{root, root, true});
    EXPECT_FALSE(sourceFileInPlace(mirrorIsRoot, root / "a.7z", nullptr));
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
