#include "transfer/download.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/sha256.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/content_check.h"
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

// Whether the request head asks for a range, and from where ("" when it does not).
std::string rangeOf(const std::string& head) {
    const std::string key = "\r\nRange: ";
    std::size_t at = head.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return head.substr(at, head.find("\r\n", at) - at);
}

std::vector<std::string> rangesOf(const std::vector<std::string>& requests) {
    std::vector<std::string> ranges;
    for (const std::string& head : requests) ranges.push_back(rangeOf(head));
    return ranges;
}

class DownloadFileTest : public ::testing::Test {
protected:
    // Retry waits of a millisecond per second keep the tests quick; the waits asked for are
    // checked through lastRetryWaitsForTesting.
    void SetUp() override {
        fs::create_directories(root);
        setRetrySecondForTesting(1);
    }
    void TearDown() override { setRetrySecondForTesting(0); }

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

// The files of one run come over one connection, whatever thread downloads them.
TEST_F(DownloadFileTest, DownloadsShareOneConnection) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "first");
    server.serve("b.7z", "second");

    downloadFile(server.url("/a.7z"), dest);
    std::thread([&] { downloadFile(server.url("/b.7z"), root / "b.7z"); }).join();

    EXPECT_EQ("second", readFileBytes(root / "b.7z"));
    EXPECT_EQ(2u, server.requests().size());
    EXPECT_EQ(1u, server.connections());
}

// Cancelling ends a slow transfer or a retry wait long before either would end. Of a file that
// can be continued the part is kept, holding the body's first bytes; of any other nothing is left.
TEST_F(DownloadFileTest, CancelledDownloadEndsSoonAndKeepsOnlyAPartToContinue) {
    LoopbackServer server(temp.path() / "server");
    const std::string body = largeBody();
    server.serve("a.7z", body);
    setRetrySecondForTesting(0);
    const ContentCheck resumable{body.size(), sha256Of(body), "modpak 1: a.7z"};
    const ContentCheck sizeOnly{body.size(), "", "modpak 1: a.7z"};
    for (const ContentCheck* check : {&resumable, &sizeOnly}) {
        for (const std::string path : {"/throttle/20000/a.7z", "/busy/3/60/a.7z"}) {
            SCOPED_TRACE(path + (check == &resumable ? " resumable" : ""));
            fs::remove(part);
            std::atomic<bool> cancelled{false};
            std::thread canceller([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                cancelled = true;
            });
            const auto start = std::chrono::steady_clock::now();
            try {
                downloadFile(server.url(path), dest, check, nullptr, &cancelled);
                ADD_FAILURE() << "not cancelled";
            } catch (const std::runtime_error& error) {
                EXPECT_EQ("Download cancelled for " + server.url(path), error.what());
            }
            canceller.join();
            // A whole transfer or wait would take a minute or more.
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
            EXPECT_FALSE(fs::exists(dest));
            EXPECT_EQ(check == &resumable, fs::exists(part));
            if (check == &resumable) {
                const std::string kept = readFileBytes(part);
                EXPECT_LT(kept.size(), body.size());
                EXPECT_EQ(body.substr(0, kept.size()), kept);
            }
        }
    }
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

// Not even a file that could be continued keeps its part after a failure that would come again.
TEST_F(DownloadFileTest, HttpErrorStatusLeavesDestinationAndNoPartialFile) {
    LoopbackServer server(temp.path() / "server");
    writeFileBytes(dest, "old");
    const ContentCheck promised{4, sha256Of("body"), "modpak 1: a.7z"};
    const std::vector<std::pair<std::string, const ContentCheck*>> cases = {
        {"/a.7z", nullptr}, {"/status/500", nullptr}, {"/a.7z", &promised}};
    for (const auto& [path, check] : cases) {
        SCOPED_TRACE(path);
        EXPECT_EQ("Download failed for " + server.url(path) + ": HTTP response code said error",
                  thrownMessage([&] { downloadFile(server.url(path), dest, check); }));
        EXPECT_EQ("old", readFileBytes(dest));
        EXPECT_FALSE(fs::exists(part));
    }
}

// Which failures are tried again, how long each retry waits, how the wait is told (its first
// note), and how it ends.
TEST_F(DownloadFileTest, TransientFailuresAreTriedThreeTimesInAll) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "body");
    const std::string httpError = "HTTP response code said error";
    struct Case {
        std::string path;
        std::string error;  // empty: the body arrives
        std::vector<long> waits;
        std::size_t requests;
        std::string told;  // when the first retry starts to wait
    };
    const std::string busy = "Server said HTTP 503; retry in ";
    std::vector<Case> cases = {
        {"/busy/2/3/a.7z", "", {3, 3}, 3, busy + "3 s (attempt 2 of 3)"},
        {"/busy/3/1/a.7z", httpError, {1, 1}, 3, busy + "1 s (attempt 2 of 3)"},
        {"/busy/1/600/a.7z", "", {60}, 2, busy + "60 s (attempt 2 of 3)"},
        {"/dropfirst/2/a.7z", "", {1}, 2, "Connection lost; retry in 1 s (attempt 2 of 3)"},
    };
    for (int status : {408, 429, 500, 502, 503, 504})
        cases.push_back(
            {"/status/" + std::to_string(status),
             httpError,
             {1, 2},
             3,
             "Server said HTTP " + std::to_string(status) + "; retry in 1 s (attempt 2 of 3)"});
    for (int status : {403, 404, 501})
        cases.push_back({"/status/" + std::to_string(status), httpError, {}, 1, ""});
    std::size_t before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        fs::remove(dest);
        const std::string url = server.url(c.path);
        std::vector<std::string> told;
        const RetryProgress retrying = [&](const std::string& text) { told.push_back(text); };
        EXPECT_EQ(c.error.empty() ? "" : "Download failed for " + url + ": " + c.error,
                  thrownMessage([&] {
                      downloadFile(url, dest, nullptr, nullptr, nullptr, BodyEncoding::asSent,
                                   &retrying);
                  }));
        EXPECT_EQ(c.waits, lastRetryWaitsForTesting());
        EXPECT_EQ(c.told, told.empty() ? "" : told.front());
        const std::vector<std::string> requests = server.requests();
        EXPECT_EQ(c.requests, requests.size() - before);
        before = requests.size();
        EXPECT_EQ(c.error.empty(), fs::exists(dest));
        if (c.error.empty()) {
            EXPECT_EQ("body", readFileBytes(dest));
        }
        EXPECT_FALSE(fs::exists(part));
    }
}

// With a promised size and hash, a broken transfer is continued where it stopped, and a file
// pieced together wrongly is caught and fetched again whole.
TEST_F(DownloadFileTest, PromisedFileIsResumedAndVerifiedWhole) {
    LoopbackServer server(temp.path() / "server");
    const std::string body = largeBody();
    server.serve("a.7z", body);
    const ContentCheck check{body.size(), sha256Of(body), "modpak 1: a.7z"};
    std::string wrongByte = body.substr(0, 5000);
    wrongByte[1234] ^= 1;
    struct Case {
        std::string name;
        std::string path;
        std::string leftover;  // the ".part" file before the download; "-" for none
        std::vector<std::string> ranges;
    };
    const std::vector<Case> cases = {
        {"a dropped connection", "/dropfirst/100000/a.7z", "-", {"", "bytes=100000-"}},
        {"an earlier run's part", "/a.7z", body.substr(0, 777), {"bytes=777-"}},
        {"a wrong byte", "/a.7z", wrongByte, {"bytes=5000-", ""}},
        {"ranges refused", "/dropfirst/100000/norange/a.7z", "-", {"", "bytes=100000-", ""}},
        {"a part too long", "/a.7z", body + "x", {""}},
        {"a complete part", "/a.7z", body, {}},
    };
    std::size_t before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dest);
        if (c.leftover != "-") writeFileBytes(part, c.leftover);
        EXPECT_EQ("", thrownMessage([&] { downloadFile(server.url(c.path), dest, &check); }));
        EXPECT_TRUE(readFileBytes(dest) == body);
        EXPECT_FALSE(fs::exists(part));
        const std::vector<std::string> requests = server.requests();
        EXPECT_EQ(c.ranges,
                  rangesOf({requests.begin() + static_cast<long>(before), requests.end()}));
        before = requests.size();
    }
}

// A part is continued only when the promised size and hash can check the assembled file, and
// only when it is a regular file of ours with no other name: otherwise the file is fetched
// whole, and what the part's name led to keeps its bytes.
TEST_F(DownloadFileTest, PartIsNeverContinuedWithoutBothPromisesOrThroughAnotherName) {
    LoopbackServer server(temp.path() / "server");
    const std::string body = largeBody();
    server.serve("a.7z", body);
    const std::string kept = body.substr(0, 1000);
    const fs::path other = temp.path() / "other.txt";
    const ContentCheck both{body.size(), sha256Of(body), "modpak 1: a.7z"};
    const ContentCheck sizeOnly{body.size(), "", "modpak 1: a.7z"};
    struct Case {
        std::string name;
        const ContentCheck* check;
        std::function<void()> makePart;
    };
    const std::vector<Case> cases = {
        {"size without sha256", &sizeOnly, [&] { fs::copy_file(other, part); }},
        {"a symbolic link, nothing promised", nullptr, [&] { fs::create_symlink(other, part); }},
        {"a symbolic link", &both, [&] { fs::create_symlink(other, part); }},
        {"a second hard link", &both, [&] { fs::create_hard_link(other, part); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dest);
        writeFileBytes(other, kept);
        c.makePart();
        const std::size_t before = server.requests().size();

        downloadFile(server.url("/a.7z"), dest, c.check);

        EXPECT_TRUE(readFileBytes(dest) == body);
        EXPECT_FALSE(fs::exists(fs::symlink_status(part)));
        EXPECT_EQ(kept, readFileBytes(other));
        const std::vector<std::string> requests = server.requests();
        EXPECT_EQ(std::vector<std::string>{""},
                  rangesOf({requests.begin() + static_cast<long>(before), requests.end()}));
    }
}

TEST_F(DownloadFileTest, BrokenPromisedTransferKeepsItsPartForTheNextRun) {
    LoopbackServer server(temp.path() / "server");
    const std::string body = largeBody();
    server.serve("a.7z", body);
    const ContentCheck check{body.size(), sha256Of(body), "modpak 1: a.7z"};
    const std::string url = server.url("/drop/1000/a.7z");

    EXPECT_EQ(failure(url, CURLE_PARTIAL_FILE),
              thrownMessage([&] { downloadFile(url, dest, &check); }));
    EXPECT_EQ(body.substr(0, 1000), readFileBytes(part));
    EXPECT_FALSE(fs::exists(dest));
}

TEST_F(DownloadFileTest, ProgressCountsBytesUpToTheWholeSize) {
    LoopbackServer server(temp.path() / "server");
    const std::string body = largeBody();
    server.serve("a.7z", body);
    const ContentCheck check{body.size(), sha256Of(body), "modpak 1: a.7z"};
    writeFileBytes(part, body.substr(0, 1000));
    for (const ContentCheck* promise : {static_cast<const ContentCheck*>(nullptr), &check}) {
        SCOPED_TRACE(promise ? "promised" : "from Content-Length");
        std::vector<std::pair<std::uint64_t, std::uint64_t>> seen;
        const ByteProgress progress = [&](std::uint64_t received, std::uint64_t total) {
            seen.emplace_back(received, total);
        };
        downloadFile(server.url("/a.7z"), dest, promise, &progress);
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(std::make_pair(std::uint64_t{body.size()}, std::uint64_t{body.size()}),
                  seen.back());
        for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_LE(seen[i - 1].first, seen[i].first);
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

// A server that sends its head and no byte of the body is given up on sooner than a body that
// stalls: here after a second instead of the program's half minute, long before the stall
// guard's minute. A body that keeps coming, however slowly, outlasts that second.
TEST_F(DownloadFileTest, AttemptWithoutAFirstByteIsGivenUpSooner) {
    struct ShortFirstByteWindow {
        ShortFirstByteWindow() { setFirstByteTimeForTesting(1); }
        ~ShortFirstByteWindow() { setFirstByteTimeForTesting(0); }
    } shortWindow;
    LoopbackServer server(temp.path() / "server");
    const std::string body(24000, 'b');
    server.serve("a.7z", body);
    const std::string silent = server.url("/stall/0/a.7z");
    std::vector<std::string> told;
    const RetryProgress retrying = [&](const std::string& text) { told.push_back(text); };

    EXPECT_EQ(failure(silent, CURLE_OPERATION_TIMEDOUT), thrownMessage([&] {
                  downloadFile(silent, dest, nullptr, nullptr, nullptr, BodyEncoding::asSent,
                               &retrying);
              }));
    EXPECT_EQ(std::vector<long>({1, 2}), lastRetryWaitsForTesting());
    ASSERT_FALSE(told.empty());
    EXPECT_EQ("Server did not answer; retry in 1 s (attempt 2 of 3)", told.front());
    EXPECT_FALSE(fs::exists(dest));
    EXPECT_FALSE(fs::exists(part));

    downloadFile(server.url("/throttle/12000/a.7z"), dest);
    EXPECT_TRUE(readFileBytes(dest) == body);
    EXPECT_TRUE(lastRetryWaitsForTesting().empty());
}

// The stall tests above shorten the windows; these are what the program itself sets. The
// limits are the ones those tests see abandon a transfer.
TEST_F(DownloadFileTest, ProgramStallGuardsAreHalfAMinuteToTheFirstByteThenAMinute) {
    LoopbackServer server(temp.path() / "server");
    server.serve("a.7z", "x");
    downloadFile(server.url("/a.7z"), dest);
    const TransferLimits limits = lastTransferLimitsForTesting();
    EXPECT_EQ(30, limits.firstByteTime);
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

TEST_F(DownloadFileTest, UnusableUrlGivesLibraryTextRetryingOnlyTheNetwork) {
    // A 64-character label cannot be encoded as a DNS query, so the lookup fails locally.
    std::string unresolvable = "http://" + std::string(64, 'x') + ".invalid/a.7z";
    // Nothing listens on the discard port: the connection is refused.
    struct Case {
        std::string url;
        CURLcode code;
        std::vector<long> waits;
    };
    for (const Case& c : {Case{"http://[127.0.0.1/a.7z", CURLE_URL_MALFORMAT, {}},
                          Case{unresolvable, CURLE_COULDNT_RESOLVE_HOST, {1, 2}},
                          Case{"http://127.0.0.1:9/a.7z", CURLE_COULDNT_CONNECT, {1, 2}}}) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(failure(c.url, c.code), thrownMessage([&] { downloadFile(c.url, dest); }));
        EXPECT_EQ(c.waits, lastRetryWaitsForTesting());
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

// A server file may arrive compressed, on every platform: gzip is offered and undone.
TEST_F(DownloadFileTest, CompressedBodyIsOfferedAndDecoded) {
    LoopbackServer server(temp.path() / "server");
    const std::string list = R"([{"modPakNum":1,"name":"a.7z"}])";
    server.serve("list.json", list);
    downloadFile(server.url("/gzipasked/list.json"), dest, nullptr, nullptr, nullptr,
                 BodyEncoding::compressed);
    EXPECT_EQ(list, readFileBytes(dest));
    EXPECT_NE(std::string::npos, server.requests()[0].find("Accept-Encoding: deflate, gzip\r\n"));
}
