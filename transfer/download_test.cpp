#include "transfer/download.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/download_seam.h"

namespace fs = std::filesystem;

namespace {

std::string failure(const std::string& url, CURLcode code) {
    return "Download failed for " + url + ": " + curl_easy_strerror(code);
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

// Several chunks' worth of every byte value, so buffering and binary safety both show.
std::string largeBody() {
    std::string body;
    for (size_t i = 0; i < 3 * 1024 * 1024 + 17; ++i)
        body.push_back(static_cast<char>((i * 7 + i / 256) & 0xff));
    return body;
}

class DownloadFileTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(root); }

    TempDir temp;
    DownloadClient client;
    fs::path root = temp.path() / "root";
    fs::path dest = root / "a.7z";
    fs::path part = root / "a.7z.part";
};

TEST_F(DownloadFileTest, StoresBodyAndSendsOurRequestHeaders) {
    LoopbackServer server(temp.path() / "server");
    std::string body = largeBody();
    server.serve("a.7z", body);

    downloadFile(server.url("/a.7z"), dest);

    EXPECT_TRUE(readFileBytes(dest) == body);
    EXPECT_FALSE(fs::exists(part));
    auto requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    const std::string& head = requests[0];
    EXPECT_EQ(0u, head.find("GET /a.7z HTTP/1.1\r\n")) << head;
    EXPECT_EQ(1u, occurrences(head, "\r\nUser-Agent: nuvraupdater-cpp/6.0\r\n")) << head;
    EXPECT_EQ(1u, occurrences(head, "User-Agent:")) << head;
    EXPECT_EQ(1u, occurrences(head, "\r\nCache-Control: no-cache\r\n")) << head;
    EXPECT_EQ(1u, occurrences(head, "\r\nPragma: no-cache\r\n")) << head;
    EXPECT_EQ(0u, occurrences(head, "Accept-Encoding")) << head;
}

TEST_F(DownloadFileTest, UsesUrlAsGivenWithoutAddingSeparator) {
    LoopbackServer server(temp.path() / "server");
    server.serve("mirrora.7z", "glued");

    downloadFile(server.url("/mirror") + "a.7z", dest);

    EXPECT_EQ("glued", readFileBytes(dest));
    auto requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0u, requests[0].find("GET /mirrora.7z HTTP/1.1\r\n")) << requests[0];
}

TEST_F(DownloadFileTest, FollowsRedirect) {
    LoopbackServer server(temp.path() / "server");
    server.serve("b.7z", "moved body");

    downloadFile(server.url("/redirect?/b.7z"), dest);

    EXPECT_EQ("moved body", readFileBytes(dest));
    EXPECT_EQ(2u, server.requests().size());
}

TEST_F(DownloadFileTest, HttpErrorStatusLeavesDestinationAndNoPartialFile) {
    LoopbackServer server(temp.path() / "server");
    writeFileBytes(dest, "old");
    for (std::string path : {"/a.7z", "/status/500"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ("Download failed for " + server.url(path) + ": HTTP response code said error",
                  thrownMessage([&] { downloadFile(server.url(path), dest); }));
        EXPECT_EQ("old", readFileBytes(dest));
        EXPECT_FALSE(fs::exists(part));
    }
}

TEST_F(DownloadFileTest, DroppedConnectionLeavesNoPartialFile) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", largeBody());
    writeFileBytes(dest, "old");
    std::string url = server.url("/drop/1000/a.7z");

    EXPECT_EQ(failure(url, CURLE_PARTIAL_FILE), thrownMessage([&] { downloadFile(url, dest); }));
    EXPECT_EQ("old", readFileBytes(dest));
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(DownloadFileTest, StalledTransferIsAbandoned) {
    struct ShortStallWindow {
        ShortStallWindow() { setLowSpeedTimeForTesting(1); }
        ~ShortStallWindow() { setLowSpeedTimeForTesting(0); }
    } shortWindow;
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", largeBody());
    std::string url = server.url("/stall/1/a.7z");

    EXPECT_EQ(failure(url, CURLE_OPERATION_TIMEDOUT),
              thrownMessage([&] { downloadFile(url, dest); }));
    EXPECT_EQ(1, lastTransferLimitsForTesting().lowSpeedTime);
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));
}

// The stall test above shortens the window; these are what the program itself sets. The limit
// is the one that test sees abandon a transfer.
TEST_F(DownloadFileTest, ProgramStallGuardIsOneBytePerSecondForAMinute) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "x");
    downloadFile(server.url("/a.7z"), dest);
    const TransferLimits limits = lastTransferLimitsForTesting();
    EXPECT_EQ(1, limits.lowSpeedLimit);
    EXPECT_EQ(60, limits.lowSpeedTime);
    EXPECT_EQ(30, limits.maxRedirects);
}

TEST_F(DownloadFileTest, RedirectLoopStopsAfterThirtyRedirects) {
    LoopbackServer server(temp.path() / "server");
    std::string url = server.url("/loop");

    EXPECT_EQ(failure(url, CURLE_TOO_MANY_REDIRECTS),
              thrownMessage([&] { downloadFile(url, dest); }));
    EXPECT_EQ(31u, server.requests().size());
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(DownloadFileTest, RedirectToLocalFileIsRefused) {
    LoopbackServer server(temp.path() / "server");
    writeFileBytes(temp.path() / "secret.txt", "local secret");
    std::string url = server.url("/redirect?file://" + (temp.path() / "secret.txt").string());

    EXPECT_EQ(failure(url, CURLE_UNSUPPORTED_PROTOCOL),
              thrownMessage([&] { downloadFile(url, dest); }));
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(DownloadFileTest, EmptyBodyGivesEmptyFile) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "");
    writeFileBytes(dest, "old");

    downloadFile(server.url("/a.7z"), dest);

    EXPECT_TRUE(fs::is_regular_file(dest));
    EXPECT_EQ(0u, fs::file_size(dest));
}

TEST_F(DownloadFileTest, LeftoverPartialFileIsRewrittenFromTheStart) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "new");
    writeFileBytes(part, "interrupted download, longer than the body");

    downloadFile(server.url("/a.7z"), dest);

    EXPECT_EQ("new", readFileBytes(dest));
    EXPECT_FALSE(fs::exists(part));
}

TEST_F(DownloadFileTest, LinkAtPartialNameIsNotWrittenThrough) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "new");
    fs::path outside = temp.path() / "outside.txt";
    writeFileBytes(outside, "keep me");
    fs::create_symlink(outside, part);

    downloadFile(server.url("/a.7z"), dest);

    EXPECT_EQ("new", readFileBytes(dest));
    EXPECT_EQ("keep me", readFileBytes(outside));
    EXPECT_FALSE(fs::exists(fs::symlink_status(part)));
}

TEST_F(DownloadFileTest, UnusableUrlGivesLibraryText) {
    // A 64-character label cannot be encoded as a DNS query, so the lookup fails locally.
    std::string unresolvable = "http://" + std::string(64, 'x') + ".invalid/a.7z";
    struct Case {
        std::string url;
        CURLcode code;
    };
    for (const Case& c : {Case{"http://[127.0.0.1/a.7z", CURLE_URL_MALFORMAT},
                          Case{unresolvable, CURLE_COULDNT_RESOLVE_HOST}}) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(failure(c.url, c.code), thrownMessage([&] { downloadFile(c.url, dest); }));
        EXPECT_FALSE(fs::exists(dest));
        EXPECT_FALSE(fs::exists(part));
    }
}

TEST_F(DownloadFileTest, MissingFolderMeansNoFileCanBeCreated) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "body");
    fs::path missing = root / "missing" / "a.7z";

    EXPECT_EQ("Unable to create file: " + (root / "missing" / "a.7z.part").string(),
              thrownMessage([&] { downloadFile(server.url("/a.7z"), missing); }));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloadFileTest, FailedRenameKeepsPartialFile) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "body");
    writeFileBytes(dest / "inside.txt", "a folder stands at the destination");

    EXPECT_EQ("rename: Is a directory: \"" + part.string() + "\", \"" + dest.string() + "\"",
              thrownMessage([&] { downloadFile(server.url("/a.7z"), dest); }));
    EXPECT_EQ("body", readFileBytes(part));
    EXPECT_TRUE(fs::is_directory(dest));
}

TEST_F(DownloadFileTest, UntrustedCertificateIsRefused) {
    LoopbackServer server(temp.path() / "server", LoopbackServer::Scheme::https);
    server.serve("a.7z", "secret body");
    std::string url = server.url("/a.7z");

    EXPECT_EQ(failure(url, CURLE_PEER_FAILED_VERIFICATION),
              thrownMessage([&] { downloadFile(url, dest); }));
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));
    EXPECT_TRUE(server.requests().empty());
}

// Wine's TLS layer accepts any certificate unless curl is given a CA file, so this is the
// refusal that runs on both platforms: a CA file that did not sign the server's certificate.
TEST_F(DownloadFileTest, CertificateFromAnotherAuthorityIsRefused) {
    LoopbackServer server(temp.path() / "server", LoopbackServer::Scheme::https);
    LoopbackServer other(temp.path() / "other", LoopbackServer::Scheme::https);
    server.serve("a.7z", "secret body");
    setCertificateAuthorityForTesting(other.certificate());
    std::string url = server.url("/a.7z");
    std::string message = thrownMessage([&] { downloadFile(url, dest); });
    setCertificateAuthorityForTesting({});
    EXPECT_EQ(failure(url, CURLE_PEER_FAILED_VERIFICATION), message);
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DownloadFileTest, TrustedCertificateDownloadsOnlyForItsHostName) {
    LoopbackServer server(temp.path() / "server", LoopbackServer::Scheme::https);
    server.serve("a.7z", "secret body");
    struct TrustServer {
        explicit TrustServer(const fs::path& certificate) {
            setCertificateAuthorityForTesting(certificate);
        }
        ~TrustServer() { setCertificateAuthorityForTesting({}); }
    } trust(server.certificate());

    downloadFile(server.url("/a.7z"), dest);
    EXPECT_EQ("secret body", readFileBytes(dest));

    // The certificate names 127.0.0.1 only, so the same server under another name is refused.
    std::string url = server.url("/a.7z");
    url.replace(url.find("127.0.0.1"), 9, "localhost");
    fs::path other = root / "b.7z";
    EXPECT_EQ(failure(url, CURLE_PEER_FAILED_VERIFICATION),
              thrownMessage([&] { downloadFile(url, other); }));
    EXPECT_FALSE(fs::exists(other));
}

}  // namespace
