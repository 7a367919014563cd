#include "platform/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

TEST(Paths, ConversionsAreTheIdentityHere) {
    EXPECT_EQ("", textFromPath(pathFromText("")));
    std::string bytes = "caf\xc3\xa9/\xff\x01name";
    EXPECT_EQ(bytes, textFromPath(pathFromText(bytes)));
}

TEST(FileSystemError, MessagesNameOneOrTwoPaths) {
    std::error_code notFound = std::make_error_code(std::errc::no_such_file_or_directory);
    EXPECT_STREQ("rename: No such file or directory: \"/g/a.7z.part\", \"/g/a.7z\"",
                 FileSystemError("rename", "/g/a.7z.part", "/g/a.7z", notFound).what());
    EXPECT_STREQ("exists: No such file or directory: \"/g\"",
                 FileSystemError("exists", "/g", notFound).what());
    EXPECT_STREQ("current_path(): No such file or directory",
                 FileSystemError("current_path()", notFound).what());
    // Still catchable as the standard kinds.
    try {
        throw FileSystemError("exists", "/g", notFound);
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(notFound, error.code());
        EXPECT_EQ(fs::path("/g"), error.path1());
    }
}

TEST(FileSystemOperations, RaiseTheirOwnWording) {
    TempDir temp;
    fs::path missing = temp.path() / "missing";
    EXPECT_EQ("rename: No such file or directory: \"" + missing.string() + "\", \"" +
                  (temp.path() / "b").string() + "\"",
              thrownMessage([&] { renameFile(missing, temp.path() / "b"); }));
    writeFileBytes(temp.path() / "file", "x");
    EXPECT_EQ("create_directories: Not a directory: \"" + (temp.path() / "file").string() + "\"",
              thrownMessage([&] { createDirectories(temp.path() / "file"); }));
    EXPECT_EQ("copy_file: No such file or directory: \"" + missing.string() + "\", \"" +
                  (temp.path() / "c").string() + "\"",
              thrownMessage([&] { copyFile(missing, temp.path() / "c"); }));
    EXPECT_FALSE(fileExists(missing));
    EXPECT_FALSE(fileExists(temp.path() / "file" / "below"));  // a file on the way means absent
    EXPECT_TRUE(fileExists(temp.path() / "file"));
    removeQuietly(missing);  // never raises
}

TEST(FileSystemOperations, NeverWriteThroughALinkAtTheTarget) {
    TempDir temp;
    fs::path sentinel = temp.path() / "sentinel";
    writeFileBytes(sentinel, "keep");
    writeFileBytes(temp.path() / "source", "new bytes");
    fs::create_symlink(sentinel, temp.path() / "copy");
    copyFile(temp.path() / "source", temp.path() / "copy");
    EXPECT_EQ("new bytes", readFileBytes(temp.path() / "copy"));
    EXPECT_FALSE(fs::is_symlink(temp.path() / "copy"));

    fs::create_symlink(sentinel, temp.path() / "fresh");
    File file = createFreshFile(temp.path() / "fresh");
    ASSERT_TRUE(file);
    EXPECT_EQ(1u, std::fwrite("z", 1, 1, file.get()));
    EXPECT_TRUE(closeFile(file));
    EXPECT_EQ("z", readFileBytes(temp.path() / "fresh"));

    fs::create_symlink(sentinel, temp.path() / "renamed");
    writeFileBytes(temp.path() / "part", "moved");
    renameFile(temp.path() / "part", temp.path() / "renamed");
    EXPECT_EQ("moved", readFileBytes(temp.path() / "renamed"));
    EXPECT_EQ("keep", readFileBytes(sentinel));
}

namespace {

EntryType typeOf(const fs::path& path) {
    std::error_code code;
    EntryType type = entryType(path, code);
    EXPECT_FALSE(code) << path;
    return type;
}

}  // namespace

TEST(FileSystemOperations, EntryTypesAndRemovalNeverFollowLinks) {
    TempDir temp;
    const fs::path outside = temp.path() / "outside", tree = temp.path() / "tree";
    writeFileBytes(outside / "keep.txt", "keep");
    writeFileBytes(tree / "file.txt", "x");
    fs::create_directory_symlink(outside, tree / "folderlink");
    fs::create_symlink(temp.path() / "missing", tree / "dangling");
    const std::pair<fs::path, EntryType> types[] = {
        {temp.path() / "missing", EntryType::absent},
        {tree / "file.txt" / "below", EntryType::absent},
        {tree / "file.txt", EntryType::file},
        {outside, EntryType::folder},
        {tree / "folderlink", EntryType::link},
        {tree / "dangling", EntryType::link},
    };
    for (const auto& [path, type] : types) EXPECT_EQ(type, typeOf(path)) << path;

    EXPECT_EQ(std::errc::directory_not_empty, removeEntry(tree));
    EXPECT_FALSE(removeEntry(tree / "folderlink"));
    EXPECT_EQ(EntryType::folder, typeOf(outside));
    fs::create_directory_symlink(outside, tree / "folderlink");
    EXPECT_FALSE(removeTree(tree));
    EXPECT_FALSE(removeTree(tree));  // absent is success
    EXPECT_EQ(EntryType::absent, typeOf(tree));
    EXPECT_EQ("keep", readFileBytes(outside / "keep.txt"));
}

TEST(FileSystemOperations, CopiesLargeFilesWhole) {
    TempDir temp;
    std::string bytes(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7919 % 251);
    writeFileBytes(temp.path() / "big", bytes);
    writeFileBytes(temp.path() / "target", "older and longer contents than nothing");
    copyFile(temp.path() / "big", temp.path() / "target");
    EXPECT_EQ(bytes, readFileBytes(temp.path() / "target"));
    EXPECT_EQ("copy_file: Is a directory: \"" + temp.path().string() + "\", \"" +
                  (temp.path() / "x").string() + "\"",
              thrownMessage([&] { copyFile(temp.path(), temp.path() / "x"); }));
}

TEST(Paths, InsideFolderComparesWholeComponents) {
    EXPECT_TRUE(isInsideFolder("/x/game", "/x/game"));
    EXPECT_TRUE(isInsideFolder("/x/game/sub", "/x/game"));
    EXPECT_FALSE(isInsideFolder("/x/game2", "/x/game"));
    EXPECT_FALSE(isInsideFolder("/x", "/x/game"));
    EXPECT_TRUE(isInsideFolder("/anything", "/"));
}
