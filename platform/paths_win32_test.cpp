#include "platform/paths_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/paths.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// Swaps in other answers for the code-page choice and puts the real ones back.
struct QueriesOverride {
    explicit QueriesOverride(CodePageQueries replacement) : previous(codePageQueries) {
        codePageQueries = replacement;
    }
    ~QueriesOverride() { codePageQueries = previous; }
    CodePageQueries previous;
};

bool yes() { return true; }
bool no() { return false; }
unsigned latin1252() { return 1252; }
unsigned cyrillic1251() { return 1251; }
unsigned dos866() { return 866; }
unsigned symbol42() { return 42; }
unsigned utf7() { return 65000; }
unsigned notInstalled() { return 12345; }

CodePageQueries utf8Locale() { return {yes, yes, latin1252, dos866}; }
CodePageQueries ansi(unsigned (*codePage)()) { return {no, yes, codePage, dos866}; }

// The platform's code of the std::system_error that `action` raises, or 0.
int raisedCode(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::system_error& error) {
        return error.code().value();
    }
    return 0;
}

std::error_code win32(DWORD code) {
    return std::error_code(static_cast<int>(code), std::system_category());
}

constexpr int noMapping = ERROR_NO_UNICODE_TRANSLATION;  // 1113

}  // namespace

TEST(CodePage, ChosenFromLocaleThenFileInterfaceMode) {
    {
        QueriesOverride utf8(utf8Locale());
        EXPECT_EQ(65001u, fileSystemCodePage());
    }
    {
        QueriesOverride ansiMode({no, yes, cyrillic1251, dos866});
        EXPECT_EQ(1251u, fileSystemCodePage());
    }
    {
        QueriesOverride oemMode({no, no, cyrillic1251, dos866});
        EXPECT_EQ(866u, fileSystemCodePage());
    }
    // The real queries: the old C runtime never reports UTF-8, and the file interfaces start in
    // ANSI mode.
    EXPECT_EQ(GetACP(), fileSystemCodePage());
    SetFileApisToOEM();
    EXPECT_EQ(GetOEMCP(), fileSystemCodePage());
    SetFileApisToANSI();
    EXPECT_EQ(GetACP(), fileSystemCodePage());
}

TEST(CodePage, EveryConversionAsksAnew) {
    CodePageQueries queries = codePageQueries;
    queries.ansiCodePage = latin1252;
    queries.oemCodePage = dos866;
    queries.localeUsesUtf8 = no;
    QueriesOverride fixed(queries);
    // 0xA0 is a no-break space in 1252 and a Cyrillic a in 866.
    EXPECT_EQ(L"\u00A0", pathFromText("\xA0").native());
    SetFileApisToOEM();
    EXPECT_EQ(L"\u0430", pathFromText("\xA0").native());
    EXPECT_EQ("\xA0", textFromPath(fs::path(L"\u0430")));
    SetFileApisToANSI();
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\u0430")); }));
}

TEST(Paths, EmptyConvertsToEmptyUnderAnyCodePage) {
    for (CodePageQueries queries :
         {utf8Locale(), ansi(latin1252), ansi(utf7), ansi(notInstalled)}) {
        QueriesOverride override(queries);
        EXPECT_TRUE(pathFromText("").empty());
        EXPECT_EQ("", textFromPath(fs::path()));
    }
}

TEST(Paths, Utf8RefusesIllFormedSequences) {
    QueriesOverride utf8(utf8Locale());
    EXPECT_EQ(L"caf\u00E9\\\U0001F600", pathFromText("caf\xC3\xA9\\\xF0\x9F\x98\x80").native());
    EXPECT_EQ("caf\xC3\xA9\\\xF0\x9F\x98\x80", textFromPath(fs::path(L"caf\u00E9\\\U0001F600")));
    EXPECT_EQ(std::wstring(L"a\0b", 3), pathFromText(std::string("a\0b", 3)).native());
    for (std::string bad : {"\xFF", "caf\xC3", "\xC0\xAF", "\xED\xA0\x80"})
        EXPECT_EQ(noMapping, raisedCode([&] { pathFromText(bad); })) << bad;
    // A lone surrogate has no UTF-8 form.
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"a\xD800")); }));
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\xDC00z")); }));
}

TEST(Paths, AnsiCodePagesRefuseWhatTheyCannotRepresent) {
    {
        QueriesOverride cyrillic(ansi(cyrillic1251));
        EXPECT_EQ(L"\u0430\u044F", pathFromText("\xE0\xFF").native());
        EXPECT_EQ("\xE0\xFF", textFromPath(fs::path(L"\u0430\u044F")));
        EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\u00E9")); }));
    }
    QueriesOverride latin(ansi(latin1252));
    EXPECT_EQ("caf\xE9", textFromPath(fs::path(L"caf\u00E9")));
    // Best fit would quietly turn A with macron into A, a different file.
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\u0100.7z")); }));
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\u4E2D")); }));
    // The code page's own default character is text like any other.
    EXPECT_EQ("?", textFromPath(fs::path(L"?")));
}

// Under wine the machine's ANSI code page follows LC_ALL; the tests also run with Windows-1251.
TEST(Paths, MachinesAnsiCodePageRefusesWhatItLacks) {
    if (GetACP() == 65001) GTEST_SKIP() << "the ANSI code page here is UTF-8";
    EXPECT_EQ(noMapping, raisedCode([] { textFromPath(fs::path(L"\u2603.7z")); }));
    if (GetACP() == 1251) {
        EXPECT_EQ(L"\u0430.7z", pathFromText("\xE0.7z").native());
        EXPECT_EQ("\xE0.7z", textFromPath(fs::path(L"\u0430.7z")));
    }
}

TEST(Paths, CodePagesWithoutStrictFlagsConvertPlainly) {
    {
        QueriesOverride sevenBit(ansi(utf7));
        EXPECT_EQ(L"\u00E9", pathFromText("+AOk-").native());
    }
    QueriesOverride symbol(ansi(symbol42));
    EXPECT_EQ(L"\uF061", pathFromText("a").native());
    EXPECT_EQ("a", textFromPath(fs::path(L"\uF061")));
}

TEST(Paths, OtherConversionErrorsCarryThePlatformCode) {
    QueriesOverride missing(ansi(notInstalled));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, raisedCode([] { pathFromText("a"); }));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, raisedCode([] { textFromPath(fs::path(L"a")); }));
}

TEST(Paths, JoinFileNameAndParentFollowWindowsRules) {
    const fs::path game(L"C:\\game");
    EXPECT_EQ(L"C:\\other\\x.txt", (game / pathFromText("C:\\other\\x.txt")).native());
    EXPECT_EQ(L"D:x.txt", (game / pathFromText("D:x.txt")).native());
    EXPECT_EQ(L"C:\\x.txt", (game / pathFromText("\\x.txt")).native());
    EXPECT_EQ("C:\\game\\sub/x.txt", textFromPath(game / pathFromText("sub/x.txt")));
    EXPECT_EQ("C:\\game\\", textFromPath(game / pathFromText("")));
    EXPECT_EQ("C:x", textFromPath(fs::path(L"C:") / pathFromText("x")));
    EXPECT_EQ("a.7z", textFromPath(fs::path(L"C:\\game\\a.7z").filename()));
    EXPECT_EQ("a.7z", textFromPath(fs::path(L"C:\\game/maps\\a.7z").filename()));
    EXPECT_EQ("", textFromPath(fs::path(L"C:\\game\\").filename()));
    EXPECT_EQ("C:\\game", textFromPath(fs::path(L"C:\\game\\").parent_path()));
    EXPECT_EQ("C:\\", textFromPath(fs::path(L"C:\\game").parent_path()));
    EXPECT_EQ("", textFromPath(fs::path(L"a.7z").parent_path()));
}

TEST(FileSystemError, MessagesNameOneOrTwoPaths) {
    const std::error_code notFound = win32(ERROR_FILE_NOT_FOUND);
    const std::string description = errorDescription(notFound);
    EXPECT_EQ("rename: " + description + ": \"C:\\g\\a.7z.part\", \"C:\\g\\a.7z\"",
              std::string(
                  FileSystemError("rename", L"C:\\g\\a.7z.part", L"C:\\g\\a.7z", notFound).what()));
    EXPECT_EQ("exists: " + description + ": \"C:\\g\"",
              std::string(FileSystemError("exists", L"C:\\g", notFound).what()));
    EXPECT_EQ("current_path(): " + description,
              std::string(FileSystemError("current_path()", notFound).what()));
    try {
        throw FileSystemError("exists", L"C:\\g", notFound);
    } catch (const fs::filesystem_error& error) {
        EXPECT_EQ(notFound, error.code());
        EXPECT_EQ(L"C:\\g", error.path1().native());
    }
}

TEST(FileSystemError, PathsTheCodePageLacksShowItsDefaultCharacter) {
    const std::error_code denied = win32(ERROR_ACCESS_DENIED);
    {
        QueriesOverride latin(ansi(latin1252));
        const fs::path path(L"C:\\g\\\u4E2D\u00E9.7z");
        EXPECT_EQ(noMapping, raisedCode([&] { textFromPath(path); }));
        EXPECT_EQ("copy_file: " + errorDescription(denied) + ": \"C:\\g\\?\xE9.7z\", \"C:\\x\"",
                  std::string(FileSystemError("copy_file", path, L"C:\\x", denied).what()));
    }
    {
        QueriesOverride utf8(utf8Locale());
        EXPECT_EQ("exists: " + errorDescription(denied) + ": \"a\xEF\xBF\xBD\"",
                  std::string(FileSystemError("exists", fs::path(L"a\xD800"), denied).what()));
    }
    // Even a code page that converts nothing leaves a message.
    QueriesOverride missing(ansi(notInstalled));
    EXPECT_EQ("exists: " + errorDescription(denied) + ": \"??\"",
              std::string(FileSystemError("exists", fs::path(L"ab"), denied).what()));
}

TEST(FileSystemError, DescriptionsLoseTrailingBlanks) {
    const std::string description = errorDescription(win32(ERROR_FILE_NOT_FOUND));
    ASSERT_FALSE(description.empty());
    EXPECT_FALSE(std::isspace(static_cast<unsigned char>(description.back())));
    EXPECT_EQ("unknown error", errorDescription(win32(0x2FFFFFFF)));
}

TEST(FileSystemOperations, RenameReplacesAnExistingFile) {
    TempDir temp;
    writeFileBytes(temp.path() / "a.7z.part", "new");
    writeFileBytes(temp.path() / "a.7z", "older and longer");
    renameFile(temp.path() / "a.7z.part", temp.path() / "a.7z");
    EXPECT_EQ("new", readFileBytes(temp.path() / "a.7z"));
    EXPECT_FALSE(fileExists(temp.path() / "a.7z.part"));

    const fs::path missing = temp.path() / "missing";
    EXPECT_EQ("rename: " + errorDescription(win32(ERROR_FILE_NOT_FOUND)) + ": \"" +
                  textFromPath(missing) + "\", \"" + textFromPath(temp.path() / "b") + "\"",
              thrownMessage([&] { renameFile(missing, temp.path() / "b"); }));
}

TEST(FileSystemOperations, CopyReplacesTheTargetAndRefusesFolders) {
    TempDir temp;
    std::string bytes(200 * 1024 + 3, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7919 % 251);
    writeFileBytes(temp.path() / "big", bytes);
    writeFileBytes(temp.path() / "target", std::string(300 * 1024, 'o'));
    copyFile(temp.path() / "big", temp.path() / "target");
    EXPECT_EQ(bytes, readFileBytes(temp.path() / "target"));

    const fs::path missing = temp.path() / "missing";
    EXPECT_EQ("copy_file: " + errorDescription(win32(ERROR_FILE_NOT_FOUND)) + ": \"" +
                  textFromPath(missing) + "\", \"" + textFromPath(temp.path() / "c") + "\"",
              thrownMessage([&] { copyFile(missing, temp.path() / "c"); }));
    try {
        copyFile(temp.path(), temp.path() / "c");
        ADD_FAILURE() << "a folder was copied";
    } catch (const FileSystemError& error) {
        EXPECT_EQ(win32(ERROR_ACCESS_DENIED), error.code());
    }
    EXPECT_FALSE(fileExists(temp.path() / "c"));
}

TEST(FileSystemOperations, CreateDirectoriesMakesEveryMissingParent) {
    TempDir temp;
    const fs::path deep = temp.path() / "a" / "b/c";
    createDirectories(deep);
    createDirectories(deep);  // already there
    EXPECT_TRUE(fs::is_directory(deep));
    writeFileBytes(temp.path() / "file", "x");
    EXPECT_EQ("create_directories: " + errorDescription(win32(ERROR_ALREADY_EXISTS)) + ": \"" +
                  textFromPath(temp.path() / "file") + "\"",
              thrownMessage([&] { createDirectories(temp.path() / "file"); }));
    EXPECT_EQ("x", readFileBytes(temp.path() / "file"));
}

TEST(FileSystemOperations, ExistsTreatsNotFoundAndInvalidNamesAsAbsent) {
    TempDir temp;
    writeFileBytes(temp.path() / "file", "x");
    EXPECT_TRUE(fileExists(temp.path() / "file"));
    EXPECT_TRUE(fileExists(temp.path()));
    EXPECT_FALSE(fileExists(temp.path() / "missing"));
    EXPECT_FALSE(fileExists(temp.path() / "missing" / "below"));
    EXPECT_FALSE(fileExists(temp.path() / "a<b"));
    EXPECT_TRUE(isAbsentError(win32(ERROR_BAD_NETPATH)));
    EXPECT_TRUE(isAbsentError(win32(ERROR_INVALID_NAME)));
    EXPECT_FALSE(isAbsentError(win32(ERROR_ACCESS_DENIED)));
}

TEST(FileSystemOperations, RemoveQuietlyTakesFilesAndEmptyFoldersOnly) {
    TempDir temp;
    writeFileBytes(temp.path() / "file", "x");
    writeFileBytes(temp.path() / "full" / "inside", "x");
    createDirectories(temp.path() / "empty");
    removeQuietly(temp.path() / "file");
    removeQuietly(temp.path() / "empty");
    removeQuietly(temp.path() / "full");
    removeQuietly(temp.path() / "missing");
    EXPECT_FALSE(fileExists(temp.path() / "file"));
    EXPECT_FALSE(fileExists(temp.path() / "empty"));
    EXPECT_EQ("x", readFileBytes(temp.path() / "full" / "inside"));
}

TEST(FileSystemOperations, FreshFileReplacesWhatStoodThere) {
    TempDir temp;
    const fs::path path = temp.path() / "nuvraconfig.json.tmp";
    writeFileBytes(path, "left by a killed run");
    File file = createFreshFile(path);
    ASSERT_TRUE(file);
    EXPECT_EQ(2u, std::fwrite("{}", 1, 2, file.get()));
    EXPECT_TRUE(flushToDisk(file.get()));
    EXPECT_TRUE(closeFile(file));
    EXPECT_EQ("{}", readFileBytes(path));
    EXPECT_FALSE(createFreshFile(temp.path() / "missing" / "x"));
    File read = openFileForReading(path);
    ASSERT_TRUE(read);
    EXPECT_TRUE(closeFile(read));
}

TEST(FileSystemOperations, WeaklyCanonicalSpellsWhatExistsAsStored) {
    TempDir temp;
    createDirectories(temp.path() / "Game" / "Maps");
    const fs::path root = weaklyCanonical(temp.path());
    EXPECT_EQ(root.native().find(L"\\\\?\\"), std::wstring::npos);
    EXPECT_TRUE(root.is_absolute());
    EXPECT_EQ(textFromPath(root / "Game" / "Maps"),
              textFromPath(weaklyCanonical(temp.path() / "game" / "." / "MAPS")));
    EXPECT_EQ(textFromPath(root / "Game" / "new" / "x.7z"),
              textFromPath(weaklyCanonical(temp.path() / "GAME/maps/../new/./y/../x.7z")));
    EXPECT_EQ(textFromPath(root / "nothing"),
              textFromPath(weaklyCanonical(temp.path() / "nothing")));
}

TEST(FileSystemOperations, CurrentPathIsTheWorkingFolder) {
    EXPECT_EQ(fs::current_path().native(), currentPath().native());
}

namespace {

// Another holder of `path`, as a running game or a virus scanner is: opened without sharing
// anything, and closed after `holdFor` (or when the holder goes).
struct Holder {
    Holder(const fs::path& path, std::chrono::milliseconds holdFor)
        : handle(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {
        EXPECT_NE(INVALID_HANDLE_VALUE, handle);
        closer = std::thread([this, holdFor] {
            std::this_thread::sleep_for(holdFor);
            CloseHandle(handle);
        });
    }
    ~Holder() { closer.join(); }
    HANDLE handle;
    std::thread closer;
};

constexpr auto briefly = std::chrono::milliseconds(300);
constexpr auto beyondPatience = std::chrono::milliseconds(3000);

void makeReadOnly(const fs::path& path) {
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
}

// A path of about 330 characters below the temporary folder, in folders of 50.
fs::path deepBelow(const fs::path& root) {
    fs::path path = root;
    for (int i = 0; i < 6; ++i) path /= std::wstring(49, static_cast<wchar_t>(L'a' + i));
    return path;
}

}  // namespace

// A removal or a replacement that meets a file held for a moment waits for it.
TEST(TransientRefusals, RemovalAndRenameWaitOutABriefHold) {
    TempDir temp;
    const fs::path held = temp.path() / "held.dll";
    writeFileBytes(held, "old");
    {
        Holder scanner(held, briefly);
        EXPECT_FALSE(removeEntry(held));
    }
    EXPECT_FALSE(fileExists(held));

    writeFileBytes(held, "old");
    writeFileBytes(temp.path() / "new.part", "new");
    {
        Holder scanner(held, briefly);
        renameFile(temp.path() / "new.part", held);
    }
    EXPECT_EQ("new", readFileBytes(held));
}

// A file that stays held is refused after the wait, with the sharing violation.
TEST(TransientRefusals, AFileHeldForLongerIsRefused) {
    TempDir temp;
    const fs::path held = temp.path() / "held.dll";
    writeFileBytes(held, "old");
    {
        Holder game(held, beyondPatience);
        EXPECT_EQ(win32(ERROR_SHARING_VIOLATION), removeEntry(held));
    }
    EXPECT_EQ("old", readFileBytes(held));
}

TEST(ReadOnlyFiles, AreRemovedAndReplacedAsOthers) {
    TempDir temp;
    const fs::path folder = temp.path() / "olddir";
    writeFileBytes(folder / "ro.txt", "kept by no one");
    makeReadOnly(folder / "ro.txt");
    EXPECT_FALSE(removeTree(folder));
    EXPECT_FALSE(fileExists(folder));

    const fs::path file = temp.path() / "data.txt";
    writeFileBytes(file, "old");
    makeReadOnly(file);
    EXPECT_FALSE(removeEntry(file));
    EXPECT_FALSE(fileExists(file));

    writeFileBytes(file, "old");
    makeReadOnly(file);
    writeFileBytes(temp.path() / "data.part", "new");
    renameFile(temp.path() / "data.part", file);
    EXPECT_EQ("new", readFileBytes(file));

    makeReadOnly(file);
    File fresh = createFreshFile(file);
    ASSERT_TRUE(fresh);
    EXPECT_TRUE(closeFile(fresh));
}

// Held files are found in a folder's contents too; one released within the wait is not reported,
// nor is a read-only file or an absent path.
TEST(FilesInUse, AreThoseHeldBeyondABriefMoment) {
    TempDir temp;
    const fs::path folder = temp.path() / "olddir";
    for (const char* name :
         {"olddir/held.txt", "olddir/free.txt", "game.dll", "scanned.pak", "ro.txt"})
        writeFileBytes(temp.path() / name, name);
    makeReadOnly(temp.path() / "ro.txt");
    Holder game(folder / "held.txt", beyondPatience);
    Holder gameToo(temp.path() / "game.dll", beyondPatience);
    Holder scanner(temp.path() / "scanned.pak", briefly);
    EXPECT_EQ((std::vector<fs::path>{folder / "held.txt", temp.path() / "game.dll"}),
              filesInUse({folder, temp.path() / "game.dll", temp.path() / "scanned.pak",
                          temp.path() / "ro.txt", temp.path() / "absent.txt"}));
    EXPECT_TRUE(openFilesBlockChanges());
}

// Paths past MAX_PATH reach the system in the extended-length form; short ones as given.
TEST(LongPaths, WorkInEveryOperation) {
    TempDir temp;
    const fs::path deep = deepBelow(temp.path());
    ASSERT_GT(deep.native().size(), 300u);
    createDirectories(deep);
    EXPECT_EQ(EntryType::folder, [&] {
        std::error_code code;
        EntryType type = entryType(deep, code);
        EXPECT_FALSE(code);
        return type;
    }());
    {
        File file = createFreshFile(deep / "x.part");
        ASSERT_TRUE(file);
        std::fputs("deep", file.get());
        ASSERT_TRUE(closeFile(file));
    }
    renameFile(deep / "x.part", deep / "x.txt");
    copyFile(deep / "x.txt", deep / "y.txt");
    File read = openFileForReading(deep / "y.txt");
    ASSERT_TRUE(read);
    char bytes[8] = {};
    EXPECT_EQ(4u, std::fread(bytes, 1, sizeof bytes, read.get()));
    EXPECT_EQ("deep", std::string(bytes, 4));
    read.reset();
    EXPECT_TRUE(isInsideFolder(weaklyCanonical(deep / "new" / ".." / "z.txt"),
                               weaklyCanonical(temp.path())));
    EXPECT_EQ(weaklyCanonical(deep) / "z.txt", weaklyCanonical(deep / "new" / ".." / "z.txt"));
    EXPECT_FALSE(removeTree(temp.path() / std::wstring(49, L'a')));
    EXPECT_FALSE(fileExists(deep));

    const fs::path shortPath = temp.path() / "short.txt";
    EXPECT_EQ(shortPath.native(), systemPath(shortPath));
    EXPECT_EQ(L"\\\\?\\" + fs::absolute(deep).native(), systemPath(deep));
    EXPECT_EQ(L"\\\\?\\UNC\\server\\share\\" + std::wstring(300, L'b'),
              systemPath(L"//server/share/" + std::wstring(300, L'b')));
}
