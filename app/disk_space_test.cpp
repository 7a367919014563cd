// A game folder on a small volume of its own: a modpak that would not fit is refused before it
// fills the disk.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>

#include "testing/loopback_server.h"
#include "testing/process.h"
#include "testing/seven_zip_writer.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"

namespace fs = std::filesystem;

namespace {

// A 4 MiB tmpfs at `folder`, unmounted when the test ends; not mounted where the test is not
// root or the kernel refuses.
struct SmallVolume {
    fs::path folder;
    bool mounted = false;

    explicit SmallVolume(fs::path at) : folder(std::move(at)) {
        fs::create_directories(folder);
        mounted = ::geteuid() == 0 && ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=4m") == 0;
    }
    ~SmallVolume() {
        if (mounted) ::umount(folder.c_str());
    }
};

// As the updater words a size: one decimal in decimal units, a need rounded up, free space down.
std::string spaceText(std::uint64_t bytes, bool roundUp) {
    const double scale = bytes >= 1000000 ? 1e6 : 1e3;
    const double tenths = static_cast<double>(bytes) / scale * 10;
    char text[48];
    std::snprintf(text, sizeof text, "%.1f %s",
                  (roundUp ? std::ceil(tenths) : std::floor(tenths)) / 10,
                  bytes >= 1000000 ? "MB" : "kB");
    return text;
}

std::string noise(std::size_t size) {
    std::mt19937 random(27);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

struct DiskSpaceTest : ::testing::Test {
    TempDir temp;
    LoopbackServer http{temp.path() / "http"};
    SmallVolume volume{temp.path() / "volume"};
    fs::path game = volume.folder / "game";
    fs::path mirror = temp.path() / "mirror";

    void SetUp() override {
        if (!volume.mounted) GTEST_SKIP() << "needs root and a tmpfs mount";
        fs::create_directories(game);
        fs::create_directories(mirror);
        writeFileBytes(game / "nuvraconfig.json",
                       R"({"nuvraVersion":6,"url":")" + http.url("/") + R"(","os":"any"})");
        writeFileBytes(game / "retired.txt", "retired");
        for (const fs::path& server : {mirror, http.folder()}) {
            writeFileBytes(server / "nuvraconfigremote.json",
                           R"({"nuvraVersion":6,"url":"x/","os":"any"})");
            writeFileBytes(server / "nuvrafile.json",
                           R"([{"modPakNum":4,"name":"retired.txt","isDirectory":false}])");
        }
    }
    // Publishes `archive` as modpak 4, with its size and hash, on the mirror and the web server;
    // `small`, when given, as modpak 3 before it, so that modpak 4 is downloaded ahead.
    void publish(const fs::path& archive, const fs::path& small = {}) {
        std::string manifest;
        for (const auto& [number, file] : {std::pair{3, small}, std::pair{4, archive}}) {
            if (file.empty()) continue;
            const ContentDigest digest = digestFile(file);
            const std::string name = "m" + std::to_string(number) + ".7z";
            for (const fs::path& server : {mirror, http.folder()})
                fs::copy_file(file, server / name, fs::copy_options::overwrite_existing);
            manifest += std::string(manifest.empty() ? "" : ",") + R"({"modPakNum":)" +
                        std::to_string(number) + R"(,"name":")" + name + R"(","size":)" +
                        std::to_string(digest.size) + R"(,"sha256":")" + digest.sha256 + "\"}";
        }
        for (const fs::path& server : {mirror, http.folder()})
            writeFileBytes(server / "nuvramodremote1.json", "[" + manifest + "]");
    }
};

}  // namespace

// A modpak that does not fit is refused before its cleanup, the retired file kept and nothing of
// its download left: an archive in the mirror that unpacks to more than the volume holds, a
// download that alone would not fit, and one that arrives small and unpacks large, fetched in its
// turn or downloaded ahead.
TEST_F(DiskSpaceTest, ModpakThatDoesNotFitIsRefusedBeforeAnythingOfItChanges) {
    const std::size_t large = 6 << 20;
    const fs::path incompressible = temp.path() / "noise.7z";
    const fs::path compressible = temp.path() / "zeros.7z";
    const fs::path small = temp.path() / "small.7z";
    writeSevenZip(incompressible, {fileEntry("data/big.bin", noise(large))});
    writeSevenZip(compressible, {fileEntry("data/big.bin", std::string(large, '\0'))});
    writeSevenZip(small, {fileEntry("three.txt", "3")});
    struct Case {
        std::string name;
        fs::path archive;
        bool fromMirror;
        std::uint64_t needed;
        fs::path before;
        // A file list that names our staging file: the modpak is fetched after its cleanup, and
        // refused before it is unpacked.
        bool fetchedAfterCleanup = false;
    } cases[] = {
        {"archive in the mirror", incompressible, true, large, {}},
        {"download larger than the free space",
         incompressible,
         false,
         fs::file_size(incompressible),
         {}},
        {"small download, large unpacked", compressible, false, large, {}},
        {"small download, large unpacked, downloaded ahead", compressible, false, large, small},
        {"fetched after its cleanup", compressible, false, large, {}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        publish(c.archive, c.before);
        const std::string ours =
            R"(,{"modPakNum":4,"name":"nuvraupdater.old","isDirectory":false})";
        writeFileBytes(http.folder() / "nuvrafile.json",
                       R"([{"modPakNum":4,"name":"retired.txt","isDirectory":false})" +
                           (c.fetchedAfterCleanup ? ours : "") + "]");
        fs::remove(game / "nuvramodlocal.json");
        fs::remove(game / "three.txt");
        writeFileBytes(game / "retired.txt", "retired");
        std::vector<std::string> args = {"--headless", "--root", game.string()};
        if (c.fromMirror) args.insert(args.end(), {"--source-dir", mirror.string()});
        ProcessResult result = runProcess(updaterExecutable(), args);
        EXPECT_EQ(1, result.status);
        // Nothing was written since the check: the free space is what the updater saw.
        EXPECT_EQ("Nuvra Updater error: Not enough space: modpak 4 needs " +
                      spaceText(c.needed, true) + ", " +
                      spaceText(fs::space(game).available, false) + " free\n",
                  result.err);
        EXPECT_EQ(!c.fetchedAfterCleanup, fs::exists(game / "retired.txt"));
        EXPECT_FALSE(fs::exists(game / "data"));
        std::vector<std::string> staged;
        for (const auto& entry : fs::directory_iterator(game)) {
            const std::string name = entry.path().filename().string();
            // Fetched after its cleanup, the archive is left as a failed unpacking leaves it.
            if ((name.find("m4.7z") != std::string::npos && !c.fetchedAfterCleanup) ||
                name.find("nuvraupdater") == 0)
                staged.push_back(name);
        }
        EXPECT_EQ(std::vector<std::string>{}, staged);
    }
}

TEST_F(DiskSpaceTest, ModpakThatFitsIsApplied) {
    const fs::path archive = temp.path() / "small.7z";
    writeSevenZip(archive, {fileEntry("data/small.bin", noise(1 << 20))});
    publish(archive);
    ProcessResult result = runProcess(updaterExecutable(), {"--headless", "--root", game.string()});
    EXPECT_EQ(0, result.status) << result.err;
    EXPECT_EQ(std::uintmax_t{1} << 20, fs::file_size(game / "data" / "small.bin"));
    EXPECT_FALSE(fs::exists(game / "retired.txt"));
}
