#include "transfer/fetch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"

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
    const std::optional<fs::path> mirrorDir = std::nullopt;
    server.serve("nuvrafile.json", "from server");

    fetchFile(mirrorDir, server.url("/nuvrafile.json"), root / "nuvrafile.json");

    EXPECT_EQ("from server", readFileBytes(root / "nuvrafile.json"));
    EXPECT_EQ(1u, server.requests().size());
}

TEST_F(FetchFileTest, MirrorCopyReplacesDestinationWithoutAnyRequest) {
    const std::optional<fs::path> mirrorDir = mirror;
    server.serve("nuvrafile.json", "from server");
    writeFileBytes(mirror / "nuvrafile.json", "from mirror");
    writeFileBytes(root / "nuvrafile.json", "older and longer local content");

    fetchFile(mirrorDir, server.url("/nuvrafile.json"), root / "nuvrafile.json");

    EXPECT_EQ("from mirror", readFileBytes(root / "nuvrafile.json"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FetchFileTest, MirrorIsSearchedByLastNameComponentOnly) {
    const std::optional<fs::path> mirrorDir = mirror;
    writeFileBytes(mirror / "pack.7z", "flat");
    writeFileBytes(mirror / "sub" / "pack.7z", "nested");
    fs::create_directories(root / "sub");

    fetchFile(mirrorDir, server.url("/sub/pack.7z"), root / "sub" / "pack.7z");

    EXPECT_EQ("flat", readFileBytes(root / "sub" / "pack.7z"));
}

TEST_F(FetchFileTest, MissingMirrorFileRaisesAndNeverDownloads) {
    const std::optional<fs::path> mirrorDir = mirror;
    server.serve("a.7z", "from server");
    writeFileBytes(root / "a.7z", "old");

    EXPECT_EQ("Local source file not found: " + (mirror / "a.7z").string(),
              thrownMessage([&] { fetchFile(mirrorDir, server.url("/a.7z"), root / "a.7z"); }));
    EXPECT_EQ("old", readFileBytes(root / "a.7z"));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(FetchFileTest, FolderInMirrorRaisesCopyError) {
    const std::optional<fs::path> mirrorDir = mirror;
    fs::create_directories(mirror / "a.7z");

    EXPECT_EQ("copy_file: Is a directory: \"" + (mirror / "a.7z").string() + "\", \"" +
                  (root / "a.7z").string() + "\"",
              thrownMessage([&] { fetchFile(mirrorDir, server.url("/a.7z"), root / "a.7z"); }));
}

TEST_F(FetchFileTest, MirrorInDestinationFolderLeavesFileUnchanged) {
    // Spelled differently from the destination's folder, so only the files' identity matches.
    const std::optional<fs::path> mirrorDir = root / "sub" / "..";
    fs::create_directories(root / "sub");
    writeFileBytes(root / "a.7z", "the only copy");

    fetchFile(mirrorDir, server.url("/a.7z"), root / "a.7z");

    EXPECT_EQ("the only copy", readFileBytes(root / "a.7z"));
    EXPECT_TRUE(server.requests().empty());
}

// An archive is read where it lies in the mirror, checked there, and nothing happens at its
// destination; what the copy handles (no mirror, the destination itself, a folder) is left to it.
TEST_F(FetchFileTest, SourceFileInPlaceIsCheckedWhereItLies) {
    const std::optional<fs::path> mirrorDir = mirror;
    writeFileBytes(mirror / "a.7z", "archive");
    writeFileBytes(root / "a.7z", "old");
    fs::create_directories(mirror / "folder.7z");
    const ContentCheck right{7, sha256Of("archive"), "modpak 1: a.7z"};
    const ContentCheck shorter{6, "", "modpak 1: a.7z"};
    const ContentCheck wrongHash{7, sha256Of("archivE"), "modpak 1: a.7z"};

    EXPECT_EQ(mirror / "a.7z", sourceFileInPlace(mirrorDir, root / "a.7z", &right));
    EXPECT_EQ("Size mismatch for modpak 1: a.7z: expected 6 bytes, received more",
              thrownMessage([&] { sourceFileInPlace(mirrorDir, root / "a.7z", &shorter); }));
    EXPECT_EQ("Checksum mismatch for modpak 1: a.7z",
              thrownMessage([&] { sourceFileInPlace(mirrorDir, root / "a.7z", &wrongHash); }));
    EXPECT_EQ("Local source file not found: " + (mirror / "b.7z").string(),
              thrownMessage([&] { sourceFileInPlace(mirrorDir, root / "b.7z", nullptr); }));
    EXPECT_FALSE(sourceFileInPlace(mirrorDir, root / "folder.7z", nullptr));
    EXPECT_EQ("old", readFileBytes(root / "a.7z"));

    const std::optional<fs::path> download;
    EXPECT_FALSE(sourceFileInPlace(download, root / "a.7z", nullptr));
    const std::optional<fs::path> mirrorIsRoot = root;
    EXPECT_FALSE(sourceFileInPlace(mirrorIsRoot, root / "a.7z", nullptr));
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
