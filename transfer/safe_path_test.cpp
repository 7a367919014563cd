#include "transfer/safe_path.h"

#include <gtest/gtest.h>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

TEST(SafeTargetPath, AcceptsNamesBelowTheRoot) {
    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::create_directories(root / "maps");
    EXPECT_EQ(root / "a.7z", safeTargetPath(root, "a.7z", 1));
    EXPECT_EQ(root / "maps" / "b.7z", safeTargetPath(root, "maps/b.7z", 1));
    EXPECT_EQ(root / "new" / "deep" / "c", safeTargetPath(root, "new/deep/c", 1));  // not there yet
    EXPECT_EQ(root / "maps", safeTargetPath(root, "./maps/", 1));
    // A link inside the root that stays inside is fine.
    fs::create_directory_symlink(root / "maps", root / "alias");
    EXPECT_EQ(root / "alias" / "x", safeTargetPath(root, "alias/x", 1));
    // A link back to the root's parent that leads into the root again lands inside.
    fs::create_directory_symlink(temp.path(), root / "up");
    EXPECT_EQ(root / "up" / "game" / "x", safeTargetPath(root, "up/game/x", 1));
    // A trailing separator names the link itself, never what it points to.
    EXPECT_EQ(root / "up", safeTargetPath(root, "up/", 1));
}

TEST(SafeTargetPath, RefusesNamesThatReachOutside) {
    TempDir temp;
    fs::path root = temp.path() / "game";
    fs::create_directories(root);
    fs::create_directories(temp.path() / "game2");
    fs::create_directory_symlink(temp.path(), root / "out");
    fs::create_directory_symlink(temp.path() / "game2", root / "sibling");
    for (std::string name : {"", ".", "./", "/etc/passwd", "../x", "a/../../x", "a/..", "out/x",
                             "sibling/x", "out/game/../x"}) {
        EXPECT_EQ("Refusing unsafe path for modpak -3: " + name,
                  thrownMessage([&] { safeTargetPath(root, name, -3); }))
            << name;
    }
    // Absolute names are refused even when they name a file inside the game folder.
    const std::string inside = (root / "x").string();
    EXPECT_EQ("Refusing unsafe path for modpak 2: " + inside,
              thrownMessage([&] { safeTargetPath(root, inside, 2); }));
    // The message stops at the NUL like every C string the player is shown.
    EXPECT_EQ("Refusing unsafe path for modpak 1: a",
              thrownMessage([&] { safeTargetPath(root, std::string("a\0b", 3), 1); }));
}

// No system takes a longer name; it is refused before any folder of it is looked at.
TEST(CleanRelativeName, RefusesNamesLongerThanAnySystemTakes) {
    std::string longest;
    while (longest.size() + 2 <= longestPathName) longest += "a/";
    longest.resize(longestPathName, 'x');
    EXPECT_TRUE(cleanRelativeName(longest));
    EXPECT_FALSE(cleanRelativeName(longest + "x"));
}
