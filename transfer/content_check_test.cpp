#include "transfer/content_check.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/background_sha256.h"
#include "transfer/download.h"

namespace fs = std::filesystem;

namespace {

const std::string good(1000, 'g');
const std::string subject = "modpak 5: m5.7z";
const std::string checksumMismatch = "Checksum mismatch for modpak 5: m5.7z";
std::string sizeMismatch(const std::string& received) {
    return "Size mismatch for modpak 5: m5.7z: expected 1000 bytes, received " + received;
}

std::string changedByte() {
    std::string bytes = good;
    bytes[500] = 'G';
    return bytes;
}

}  // namespace

TEST(Sha256, KnownDigests) {
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", sha256Of(""));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", sha256Of("abc"));
    Sha256 hash;  // in uneven pieces, as a transfer delivers them
    std::string block(7919, 'a');
    for (std::size_t left = 1000000; left > 0; left -= std::min(left, block.size()))
        hash.update(block.data(), std::min(left, block.size()));
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", hash.finishHex());
}

// Chunks smaller than, equal to and larger than the hand-over blocks, and ending mid-block.
TEST(BackgroundSha256, MatchesTheDigestOfTheWholeStreamWhateverItsChunks) {
    std::string stream(3 * 256 * 1024 + 4097, '\0');
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<char>((i * 2654435761u) >> 11);
    for (const std::size_t chunk : {std::size_t{1} << 10, std::size_t{16383}, std::size_t{262144},
                                    std::size_t{262145}, stream.size()}) {
        BackgroundSha256 hash;
        for (std::size_t at = 0; at < stream.size(); at += chunk)
            hash.update(stream.data() + at, std::min(chunk, stream.size() - at));
        EXPECT_EQ(sha256Of(stream), hash.finishHex()) << chunk;
    }
    BackgroundSha256 empty;
    EXPECT_EQ(sha256Of(""), empty.finishHex());
}

// Streams share the hand-over blocks: empty ones, thousands of tiny ones (more ends than a block
// keeps), one spanning several blocks, and digests taken part-way, each in its stream's order.
TEST(BackgroundSha256, ManyStreamsEachGetTheirOwnDigestInOrder) {
    std::vector<std::string> streams = {"", "", "abc", std::string(600 * 1024, 'x'), ""};
    for (int i = 0; i < 5000; ++i) streams.push_back(std::to_string(i));
    streams.push_back(std::string(256 * 1024 - 3, 'y'));
    streams.push_back("z");
    BackgroundSha256 hash;
    std::vector<std::string> digests;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        hash.update(streams[i].data(), streams[i].size());
        hash.endStream();
        if (i == 2 || i == 3000)
            for (const Sha256Digest& digest : hash.takeDigests())
                digests.push_back(hexDigest(digest));
    }
    for (const Sha256Digest& digest : hash.takeDigests()) digests.push_back(hexDigest(digest));
    ASSERT_EQ(streams.size(), digests.size());
    for (std::size_t i = 0; i < streams.size(); ++i)
        EXPECT_EQ(sha256Of(streams[i]), digests[i]) << i;
    EXPECT_TRUE(hash.takeDigests().empty());
}
TEST(CopyFileChecked, OnlyAMatchingFileTakesItsName) {
    struct Case {
        std::string source;
        ContentCheck check;
        std::string message;
    };
    const std::vector<Case> cases = {
        {good, {1000, sha256Of(good), subject}, ""},
        {good, {std::nullopt, "", subject}, ""},
        {changedByte(), {1000, sha256Of(good), subject}, checksumMismatch},
        {good + "x", {1000, "", subject}, sizeMismatch("more")},
        {std::string(3 << 20, 'g'), {1000, sha256Of(good), subject}, sizeMismatch("more")},
        {good.substr(1), {1000, sha256Of(good), subject}, sizeMismatch("999")},
    };
    for (const Case& c : cases) {
        TempDir temp;
        SCOPED_TRACE(c.message);
        writeFileBytes(temp.path() / "source", c.source);
        writeFileBytes(temp.path() / "m5.7z", "old");
        EXPECT_EQ(c.message, thrownMessage([&] {
                      copyFileChecked(temp.path() / "source", temp.path() / "m5.7z", &c.check);
                  }));
        EXPECT_EQ(c.message.empty() ? c.source : "old", readFileBytes(temp.path() / "m5.7z"));
        EXPECT_FALSE(fs::exists(temp.path() / "m5.7z.part"));
    }
}

TEST(CopyFileChecked, UncheckedCopyReportsWhatItCopied) {
    TempDir temp;
    writeFileBytes(temp.path() / "source", "abc");
    ContentDigest copied = copyFileChecked(temp.path() / "source", temp.path() / "copy", nullptr);
    EXPECT_EQ(3u, copied.size);
    EXPECT_EQ(sha256Of("abc"), copied.sha256);
    EXPECT_EQ("abc", readFileBytes(temp.path() / "copy"));
}

// Each way a server can hand out something other than the file, over real HTTP.
TEST(DownloadFileChecked, OnlyAMatchingBodyTakesItsName) {
    TempDir temp;
    DownloadClient client;
    LoopbackServer server(temp.path() / "server");
    server.serve("good", good);
    server.serve("changed", changedByte());
    server.serve("longer", std::string(3 << 20, 'g'));
    server.serve("shorter", good.substr(1));
    const ContentCheck both{1000, sha256Of(good), subject};
    const ContentCheck hashOnly{std::nullopt, sha256Of(good), subject};
    struct Case {
        std::string path;
        const ContentCheck& check;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"/good", both, ""},
        {"/changed", both, checksumMismatch},
        {"/longer", both, sizeMismatch("more")},
        {"/shorter", both, sizeMismatch("999")},
        {"/errorpage/good", hashOnly, checksumMismatch},
        {"/gzip/good", hashOnly, checksumMismatch},
        // The announced length cuts the body short; the rest is never read.
        {"/shortlength/600/good", both, sizeMismatch("600")},
    };
    fs::path dest = temp.path() / "m5.7z";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        writeFileBytes(dest, "old");
        EXPECT_EQ(c.message,
                  thrownMessage([&] { downloadFile(server.url(c.path), dest, &c.check); }));
        EXPECT_EQ(c.message.empty() ? good : "old", readFileBytes(dest));
        EXPECT_FALSE(fs::exists(temp.path() / "m5.7z.part"));
    }
}

// Without a check the body is stored as received: no encoding is asked for or undone.
TEST(DownloadFileChecked, UncheckedGzipBodyIsStoredAsSent) {
    TempDir temp;
    DownloadClient client;
    LoopbackServer server(temp.path() / "server");
    server.serve("list.json", "[]");
    downloadFile(server.url("/gzip/list.json"), temp.path() / "list.json");
    EXPECT_EQ("\x1f\x8b", readFileBytes(temp.path() / "list.json").substr(0, 2));
    EXPECT_EQ(std::string::npos, server.requests()[0].find("Accept-Encoding"));
}
