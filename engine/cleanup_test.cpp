#include "engine/cleanup.h"

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

class CleanupTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(root); }

    TempDir temp;
    fs::path root = temp.path() / "game";
    std::vector<FileEntry> fileEntries;
};

TEST_F(CleanupTest, RemovesFilesAndTreesOfThatNumberOnly) {
    writeFileBytes(root / "old.txt", "x");
    writeFileBytes(root / "maps" / "a" / "b.map", "x");
    writeFileBytes(root / "keep.txt", "x");
    writeFileBytes(root / "asfile", "x");
    fileEntries = {{3, "old.txt", false},     {3, "maps", true}, {4, "keep.txt", false},
                   {3, "missing.txt", false}, {3, "gone", true}, {3, "asfile", true}};
    cleanupModpak(root, fileEntries, 3);
    EXPECT_FALSE(fs::exists(root / "old.txt"));
    EXPECT_FALSE(fs::exists(root / "maps"));
    EXPECT_FALSE(fs::exists(root / "asfile"));
    EXPECT_TRUE(fs::exists(root / "keep.txt"));
    cleanupModpak(root, fileEntries, 99);  // no entries: nothing happens
    EXPECT_TRUE(fs::exists(root / "keep.txt"));
}

TEST_F(CleanupTest, NonEmptyFolderMarkedAsFileStopsTheCleanup) {
    writeFileBytes(root / "dir" / "inner", "x");
    writeFileBytes(root / "later.txt", "x");
    fileEntries = {{-2, "dir", false}, {-2, "later.txt", false}};
    EXPECT_EQ("Unable to delete " + (root / "dir").string() + " for modpak -2: Directory not empty",
              thrownMessage([&] { cleanupModpak(root, fileEntries, -2); }));
    EXPECT_TRUE(fs::exists(root / "dir" / "inner"));
    EXPECT_TRUE(fs::exists(root / "later.txt"));
}

TEST_F(CleanupTest, UnremovablePathIsReported) {
    WithoutPermissionOverride asAPlayer;
    writeFileBytes(root / "locked" / "f", "x");
    fs::permissions(root / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    fileEntries = {{1, "locked/f", false}};
    EXPECT_EQ(
        "Unable to delete " + (root / "locked" / "f").string() + " for modpak 1: Permission denied",
        thrownMessage([&] { cleanupModpak(root, fileEntries, 1); }));
}

TEST_F(CleanupTest, LinksAreRemovedNeverFollowed) {
    fs::path outside = temp.path() / "outside";
    writeFileBytes(outside / "precious", "keep");
    fs::create_directory_symlink(outside, root / "dirlink");
    fs::create_symlink(outside / "precious", root / "filelink");
    fs::create_directories(root / "tree");
    fs::create_directory_symlink(outside, root / "tree" / "inner");
    fileEntries = {{1, "dirlink", true}, {1, "filelink", false}, {1, "tree", true}};
    cleanupModpak(root, fileEntries, 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "dirlink")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "filelink")));
    EXPECT_FALSE(fs::exists(root / "tree"));
    EXPECT_EQ("keep", readFileBytes(outside / "precious"));
}

TEST_F(CleanupTest, UnsafeNamesRemoveNothing) {
    fs::path outside = temp.path() / "outside";
    writeFileBytes(outside / "precious", "keep");
    fs::create_directory_symlink(outside, root / "out");
    writeFileBytes(root / "first.txt", "x");
    for (std::string name : {"../outside", "", "out/precious", "/tmp", "out/../../outside"}) {
        fileEntries = {{7, name, true}};
        EXPECT_EQ("Refusing unsafe path for modpak 7: " + name,
                  thrownMessage([&] { cleanupModpak(root, fileEntries, 7); }));
    }
    EXPECT_EQ("keep", readFileBytes(outside / "precious"));
    EXPECT_TRUE(fs::exists(root / "first.txt"));
    EXPECT_TRUE(fs::is_directory(root));
    // With a trailing separator the name is the link itself, which is removed as a link.
    fileEntries = {{7, "out/", true}};
    cleanupModpak(root, fileEntries, 7);
    EXPECT_FALSE(fs::exists(fs::symlink_status(root / "out")));
    EXPECT_EQ("keep", readFileBytes(outside / "precious"));
}
