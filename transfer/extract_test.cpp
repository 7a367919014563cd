#include "transfer/extract.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"

namespace fs = std::filesystem;

namespace {

class ExtractArchiveTest : public testing::Test {
protected:
    TempDir temp;
    fs::path game = temp.path() / "game";
    fs::path archive = temp.path() / "mod.7z";
    // Beside the destination: no archive may reach it.
    fs::path sentinel = temp.path() / "outside.txt";
    fs::path outsideFolder = temp.path() / "elsewhere";

    void SetUp() override {
        writeFileBytes(sentinel, "sentinel");
        fs::create_directories(outsideFolder);
    }

    void expectOutsideUntouched() {
        EXPECT_EQ("sentinel", readFileBytes(sentinel));
        EXPECT_TRUE(fs::is_empty(outsideFolder));
    }

    std::string extract(const std::vector<SevenZipEntry>& entries) {
        writeSevenZip(archive, entries);
        return thrownMessage([&] { extractArchive(archive, game); });
    }
};

// A path as UTF-8 with forward slashes, whatever the platform's own form.
std::string utf8(const fs::path& path) {
    std::u8string text = path.generic_u8string();
    return std::string(text.begin(), text.end());
}

// Every file under `root` (links as "-> target") with its contents, relative and sorted; long
// contents are shown by size and hash so that a failure stays readable.
std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> lines;
    for (const auto& item : fs::recursive_directory_iterator(root)) {
        std::string name = utf8(item.path().lexically_relative(root));
        if (item.is_symlink())
            lines.push_back(name + " -> " + utf8(fs::read_symlink(item.path())));
        else if (item.is_directory())
            lines.push_back(name + "/");
        else {
            std::string bytes = readFileBytes(item.path());
            lines.push_back(name + ": " +
                            (bytes.size() <= 64
                                 ? bytes
                                 : std::to_string(bytes.size()) + " bytes, hash " +
                                       std::to_string(std::hash<std::string>()(bytes))));
        }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// 7-Zip's own program, or an empty path when it is not installed.
fs::path sevenZip() {
    ProcessResult found = runProcess("/bin/sh", {"-c", "command -v 7zz"});
    std::string path = found.out.substr(0, found.out.find('\n'));
    return found.status == 0 ? fs::path(path) : fs::path();
}

// Packs everything in `source` with 7-Zip itself; `method` adds switches such as a filter.
void packWithSevenZip(const fs::path& source, const fs::path& archive,
                      const std::vector<std::string>& method) {
    std::vector<std::string> args = {"a", "-t7z", "-bd", "-ms=on", "-mmt=1"};
    args.insert(args.end(), method.begin(), method.end());
    args.insert(args.end(), {archive.string(), "."});
    // A UTF-8 locale makes 7zz store the UTF-8 names of the files as the same characters.
    ProcessResult result = runProcess(sevenZip(), args, source, {{"LC_ALL", "C.UTF-8"}});
    ASSERT_EQ(0, result.status) << result.out << result.err;
}

// Bytes that look like x86 code (calls and jumps with relative targets) so that the branch
// filters really rewrite them, plus some text so that LZMA has something to find.
std::string machineCode(int size) {
    std::string bytes;
    unsigned state = 12345;
    while (static_cast<int>(bytes.size()) < size) {
        state = state * 1103515245 + 12345;
        bytes += static_cast<char>((state >> 16) % 3 == 0 ? 0xE8 : 0xE9);
        for (int i = 0; i < 4; ++i) bytes += static_cast<char>(state >> (8 * i));
        bytes += "\x55\x48\x89\xe5 mov push ret";
    }
    return bytes;
}

}  // namespace

TEST_F(ExtractArchiveTest, WritesFilesFoldersAndLinksWithModesAndTimes) {
    EXPECT_EQ("", extract({folderEntry("empty"), fileEntry("data/a.txt", "alpha"),
                           fileEntry("data/deep/run.sh", "#!/bin/sh\n", 0755),
                           linkEntry("data/latest", "a.txt")}));
    EXPECT_EQ((std::vector<std::string>{"data/", "data/a.txt: alpha", "data/deep/",
                                        "data/deep/run.sh: #!/bin/sh\n", "data/latest -> a.txt",
                                        "empty/"}),
              listTree(game));
    EXPECT_EQ(fs::perms(0755), fs::status(game / "data/deep/run.sh").permissions());
    EXPECT_EQ(fs::perms(0644), fs::status(game / "data/a.txt").permissions());
    struct stat info {};
    ASSERT_EQ(0, ::stat((game / "data/a.txt").string().c_str(), &info));
    EXPECT_EQ(1700000000, info.st_mtime);
    EXPECT_EQ("sentinel", readFileBytes(sentinel));
}

TEST_F(ExtractArchiveTest, ReplacesExistingFilesAndKeepsOthers) {
    writeFileBytes(game / "a.txt", "old");
    writeFileBytes(game / "keep.txt", "mine");
    EXPECT_EQ("", extract({fileEntry("a.txt", "new")}));
    EXPECT_EQ("new", readFileBytes(game / "a.txt"));
    EXPECT_EQ("mine", readFileBytes(game / "keep.txt"));
}

TEST_F(ExtractArchiveTest, EmptyArchiveCreatesOnlyTheDestination) {
    fs::path nested = game / "sub" / "dir";
    writeSevenZip(archive, {});
    EXPECT_EQ("", thrownMessage([&] { extractArchive(archive, nested); }));
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_TRUE(fs::is_empty(nested));
}

TEST_F(ExtractArchiveTest, UnreadableArchivesFailAfterTheDestinationIsCreated) {
    writeFileBytes(archive, "PK\x03\x04 this is no 7-Zip archive");
    EXPECT_EQ("Unable to open archive: " + archive.string() + " (Unrecognized archive format)",
              thrownMessage([&] { extractArchive(archive, game); }));
    EXPECT_TRUE(fs::is_directory(game));

    fs::path missing = temp.path() / "missing.7z";
    EXPECT_EQ("Unable to open archive: " + missing.string() + " (Failed to open '" +
                  missing.string() + "')",
              thrownMessage([&] { extractArchive(missing, game); }));
    EXPECT_TRUE(fs::is_empty(game));
}

// The archive's header sits at its end, so a cut-off archive opens fine and fails on the first
// entry; that must be an error, not an extraction that ends quietly with nothing written.
TEST_F(ExtractArchiveTest, TruncatedArchiveIsAnError) {
    writeSevenZip(archive, {fileEntry("a.txt", std::string(50000, 'a')), fileEntry("b.txt", "b")});
    std::string bytes = readFileBytes(archive);
    writeFileBytes(archive, bytes.substr(0, bytes.size() - 40));
    EXPECT_EQ("Unable to read archive: " + archive.string() + " (Truncated 7-Zip file body)",
              thrownMessage([&] { extractArchive(archive, game); }));
    EXPECT_TRUE(fs::is_empty(game));
}

TEST_F(ExtractArchiveTest, CorruptDataIsAnError) {
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "line " + std::to_string(i * 7919 % 10007) + "\n";
    writeSevenZip(archive, {fileEntry("a.txt", text)});
    std::string bytes = readFileBytes(archive);
    // Packed streams follow the 32-byte signature header; damage the middle of the stream.
    bytes[32 + (bytes.size() - 32) / 3] ^= 0x55;
    writeFileBytes(archive, bytes);
    EXPECT_EQ("Unable to read archive data", thrownMessage([&] { extractArchive(archive, game); }));
}

TEST_F(ExtractArchiveTest, ParentEscapeIsBlockedAndEarlierEntriesStay) {
    EXPECT_EQ("Blocked archive entry outside destination: " + (game / "../outside.txt").string(),
              extract({fileEntry("first.txt", "1"), fileEntry("../outside.txt", "evil"),
                       fileEntry("later.txt", "3")}));
    EXPECT_EQ((std::vector<std::string>{"first.txt: 1"}), listTree(game));
    expectOutsideUntouched();
}

TEST_F(ExtractArchiveTest, AbsoluteNamesAreWrittenOnlyInsideTheDestination) {
    EXPECT_EQ("", extract({fileEntry((game / "abs/in.txt").string(), "in")}));
    EXPECT_EQ("in", readFileBytes(game / "abs/in.txt"));

    EXPECT_EQ("Blocked archive entry outside destination: " + sentinel.string(),
              extract({fileEntry(sentinel.string(), "evil")}));
    // A sibling whose name begins with the destination's is still outside it.
    fs::path sibling = temp.path() / "game2" / "x.txt";
    EXPECT_EQ("Blocked archive entry outside destination: " + sibling.string(),
              extract({fileEntry(sibling.string(), "evil")}));
    EXPECT_FALSE(fs::exists(sibling.parent_path()));
    expectOutsideUntouched();
}

TEST_F(ExtractArchiveTest, DotDotThatStaysInsideIsRefusedByTheWriter) {
    EXPECT_EQ("Unable to write archive entry: Path contains '..'",
              extract({fileEntry("sub/../x.txt", "x")}));
    EXPECT_TRUE(fs::is_empty(game));

    fs::path winding = temp.path() / "up" / ".." / "game";
    EXPECT_EQ("Unable to write archive entry: Path contains '..'",
              thrownMessage([&] { extractArchive(archive, winding); }));
    EXPECT_TRUE(fs::is_empty(game));
}

TEST_F(ExtractArchiveTest, LinkToOutsideCannotLeadLaterEntriesOut) {
    fs::path planted = game / "escape" / "planted.txt";
    EXPECT_EQ("Blocked archive entry outside destination: " + planted.string(),
              extract({linkEntry("escape", outsideFolder.string()),
                       fileEntry("escape/planted.txt", "evil")}));
    EXPECT_EQ(outsideFolder, fs::read_symlink(game / "escape"));

    // The link left by an earlier archive is followed as well, for files and for folders (whose
    // modes and times the writer would otherwise set on the folder the link points to).
    EXPECT_EQ("Blocked archive entry outside destination: " + planted.string(),
              extract({fileEntry("escape/planted.txt", "evil")}));
    EXPECT_EQ("Blocked archive entry outside destination: " + (game / "escape/").string(),
              extract({folderEntry("escape")}));
    EXPECT_EQ(fs::perms(0755), fs::status(outsideFolder).permissions());
    expectOutsideUntouched();
}

// A folder already found inside may not stay trusted once a link changes where it leads. The
// second link is named "./sub" because libarchive's 7-Zip writer keeps only the last of two
// entries with equal names.
TEST_F(ExtractArchiveTest, FolderIsCheckedAgainAfterALinkChangesIt) {
    fs::path planted = game / "sub" / "planted.txt";
    EXPECT_EQ("Blocked archive entry outside destination: " + planted.string(),
              extract({fileEntry("real/a.txt", "a"), linkEntry("sub", "real"),
                       fileEntry("sub/b.txt", "b"), linkEntry("./sub", outsideFolder.string()),
                       fileEntry("sub/planted.txt", "evil")}));
    EXPECT_EQ("b", readFileBytes(game / "real/b.txt"));
    EXPECT_EQ(outsideFolder, fs::read_symlink(game / "sub"));
    expectOutsideUntouched();
}

TEST_F(ExtractArchiveTest, LinkReplacedByFileIsNotWrittenThrough) {
    EXPECT_EQ(
        "", extract({linkEntry("config.txt", sentinel.string()), fileEntry("config.txt", "mine")}));
    EXPECT_EQ("mine", readFileBytes(game / "config.txt"));
    EXPECT_FALSE(fs::is_symlink(game / "config.txt"));

    // Likewise when the link came with an earlier archive.
    EXPECT_EQ("", extract({linkEntry("config.txt", sentinel.string())}));
    EXPECT_EQ("", extract({fileEntry("config.txt", "again")}));
    EXPECT_EQ("again", readFileBytes(game / "config.txt"));
    expectOutsideUntouched();
}

TEST_F(ExtractArchiveTest, UnpacksArchivesMadeBySevenZipByteForByte) {
    if (sevenZip().empty()) GTEST_SKIP() << "7zz is not installed";
    fs::path source = temp.path() / "source";
    std::string text;
    for (int i = 0; text.size() < 300000; ++i)
        text += "texture " + std::to_string(i * 31 % 977) + " = maps/" + std::to_string(i) + "\n";
    writeFileBytes(source / "maps/a/one.txt", text);
    writeFileBytes(source / "maps/b/two.txt", text.substr(1000));
    writeFileBytes(source / "maps/b/empty.txt", "");
    writeFileBytes(source / "bin/game.exe", machineCode(200000));
    // Spelt as UTF-8 for both platforms' file names.
    const fs::path umlaut(u8"Caf\u00e9/\u00c4rger.txt");
    writeFileBytes(source / umlaut, "umlaut");
    fs::create_directories(source / "saves/none");

    struct Variant {
        std::string label;
        std::vector<std::string> method;
    };
    for (const Variant& variant : std::vector<Variant>{
             {"lzma2", {"-m0=lzma2"}}, {"bcj", {"-mf=BCJ", "-m0=lzma2"}}, {"bcj2", {"-mf=BCJ2"}}}) {
        SCOPED_TRACE(variant.label);
        fs::path packed = temp.path() / (variant.label + ".7z");
        fs::path target = temp.path() / ("out-" + variant.label);
        packWithSevenZip(source, packed, variant.method);
        EXPECT_EQ("", thrownMessage([&] { extractArchive(packed, target); }));
        EXPECT_EQ(listTree(source), listTree(target));
    }
    // The name arrives whole although the process keeps the C locale (Linux) or a code page
    // without these letters (Windows under 1251).
    EXPECT_EQ("umlaut", readFileBytes(temp.path() / "out-lzma2" / umlaut));
}

namespace {

std::uint32_t crc32Of(const std::string& bytes, std::size_t from, std::size_t count) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = from; i < from + count; ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void putLittleEndian32(std::string& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(value >> (8 * i));
}

std::uint64_t getLittleEndian64(const std::string& bytes, std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

}  // namespace

// An archive whose header declares less than its entry holds: stored by 7-Zip (each file its own
// uncompressed block, the header plain), then the first file's declared size cut from 100 to 32
// and the header's checksums made right again. Nothing past the 32 declared bytes is written,
// the mismatch is a damaged archive, and the room counted for it is the declared one.
TEST_F(ExtractArchiveTest, EntriesAreNotUnpackedPastTheirDeclaredSizes) {
    if (sevenZip().empty()) GTEST_SKIP() << "7zz is not installed";
    const fs::path source = temp.path() / "source";
    writeFileBytes(source / "a.txt", std::string(100, 'a'));
    writeFileBytes(source / "b.txt", std::string(50, 'b'));
    packWithSevenZip(source, archive, {"-mx0", "-ms=off", "-mhc=off"});
    std::string bytes = readFileBytes(archive);
    const std::size_t header = 32 + static_cast<std::size_t>(getLittleEndian64(bytes, 12));
    const auto headerSize = static_cast<std::size_t>(getLittleEndian64(bytes, 20));
    // The blocks' unpacked sizes: 100 and 50, one byte each.
    const std::size_t sizes = bytes.find(std::string("\x0c\x64\x32", 3), header);
    ASSERT_NE(std::string::npos, sizes);
    bytes[sizes + 1] = 32;
    putLittleEndian32(bytes, 28, crc32Of(bytes, header, headerSize));
    putLittleEndian32(bytes, 8, crc32Of(bytes, 12, 20));
    writeFileBytes(archive, bytes);

    EXPECT_EQ(82u, unpackedSize(archive));
    EXPECT_EQ("Unable to read archive data", thrownMessage([&] { extractArchive(archive, game); }));
    EXPECT_LE(fs::file_size(game / "a.txt"), 32u);
    EXPECT_FALSE(fs::exists(game / "b.txt"));
}
