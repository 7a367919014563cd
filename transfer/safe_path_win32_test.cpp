#include <gtest/gtest.h>

#include "platform/paths.h"
#include "testing/temp_dir.h"
#include "transfer/safe_path.h"

namespace fs = std::filesystem;

TEST(SafeTargetPath, AcceptsEitherSeparatorBelowTheRoot) {
    TempDir temp;
    const fs::path root = temp.path() / "game";
    createDirectories(root / "maps");
    const std::string base = textFromPath(root);
    EXPECT_EQ(base + "\\maps\\b.7z", textFromPath(safeTargetPath(root, "maps\\b.7z", 1)));
    EXPECT_EQ(base + "\\maps\\b.7z", textFromPath(safeTargetPath(root, "maps/b.7z", 1)));
    EXPECT_EQ(base + "\\new\\deep\\c", textFromPath(safeTargetPath(root, ".\\new/deep\\c\\", 1)));
    // Names that merely resemble the refused ones.
    for (std::string name :
         {"console.txt", "CONX", "COM10", "nul_x", "a.con", "lpt", ".hidden", "x.y.z", "a..b"}) {
        EXPECT_EQ(base + "\\" + name, textFromPath(safeTargetPath(root, name, 1))) << name;
    }
}

TEST(SafeTargetPath, RefusesEveryNameWindowsTakesElsewhere) {
    TempDir temp;
    const fs::path root = temp.path() / "game";
    createDirectories(root / "maps");
    const char* names[] = {
        // drive-relative, drive-absolute, rooted
        "C:x.txt", "C:\\x.txt", "C:/x.txt", "c:", "\\x.txt", "/x.txt",
        // UNC and device paths
        "\\\\server\\share\\x", "//server/share/x", "\\\\?\\C:\\x", "\\\\.\\x", "\\\\.\\COM1",
        "//?/C:/x",
        // parent folders with either separator
        "..\\x", "maps\\..\\..\\x", "maps/..\\..\\x", "maps\\..",
        // reserved device names, any case, with or without extension, in any component
        "CON", "con", "NUL", "nul.txt", "Nul.tar.gz", "COM1", "com9.7z", "LPT1", "lpt0", "AUX",
        "prn.log", "CONIN$", "conout$", "maps\\con", "maps/aux.txt\\x", "CON .txt",
        // alternate data streams
        "x.txt:hidden", "x.txt::$DATA", "maps:s\\x",
        // components that Windows changes: trailing dots and blanks
        "x.", "x ", "maps.\\x", "maps \\x", "x...",
        // characters that no Windows name holds
        "a<b", "a|b", "a?b", "a*b", "a\"b", "a\tb"};
    for (std::string name : names) {
        EXPECT_EQ("Refusing unsafe path for modpak 7: " + name,
                  thrownMessage([&] { safeTargetPath(root, name, 7); }))
            << name;
    }
    EXPECT_FALSE(fileExists(root / "x.txt"));
}

TEST(SafeTargetPath, ReservedOrAlteredNamesAreJudgedPerComponent) {
    EXPECT_TRUE(isReservedOrAlteredName(L"COM\u00B9"));
    EXPECT_TRUE(isReservedOrAlteredName(L"lpt\u00B3.txt"));
    EXPECT_FALSE(isReservedOrAlteredName(L"COM\u00B9x"));
    EXPECT_FALSE(isReservedOrAlteredName(L"x.txt"));
    EXPECT_FALSE(isReservedOrAlteredName(L"\u0441on"));  // a Cyrillic es, not a Latin c
}
