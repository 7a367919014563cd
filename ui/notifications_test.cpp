#include "ui/notifications.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "app/update_run.h"
#include "engine/runner.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "transfer/download_seam.h"
#include "ui/progress_window.h"
#include "ui/test_display.h"

namespace {

// A window-mode run with its progress window, as synchronize leaves it before Start.
class NotificationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
        LaunchOptions options;
        options.root = temp.path();
        run = std::make_unique<UpdateRun>(std::move(options));
        run->window = std::make_unique<ProgressWindow>(3);
        currentRun = run.get();
    }
    void TearDown() override { currentRun = nullptr; }

    Fl_Progress& bar() { return run->window->progressBar; }
    std::string barLabel() { return bar().label() ? bar().label() : ""; }

    TempDir temp;
    std::unique_ptr<UpdateRun> run;
};

UpdateRun headlessRun(const TempDir& temp) {
    LaunchOptions options;
    options.root = temp.path();
    options.headless = true;
    return UpdateRun(std::move(options));
}

}  // namespace

TEST_F(NotificationsTest, ProgressFromTheWorkerMovesTheBarInOrder) {
    std::thread worker([this] {
        reportProgress(*run, {0, 6, "Starting"});
        reportProgress(*run, {3, 6, "Fetching modpak 2"});
    });
    worker.join();
    ASSERT_TRUE(pumpUntil([&] { return barLabel() == "Fetching modpak 2"; }));
    EXPECT_EQ(6.0f, bar().maximum());
    EXPECT_EQ(3.0f, bar().value());

    // A total of 0 or less keeps the maximum; value and label still follow.
    std::thread again([this] {
        reportProgress(*run, {1, 0, "zero total"});
        reportProgress(*run, {2, -4, "negative total"});
    });
    again.join();
    ASSERT_TRUE(pumpUntil([&] { return barLabel() == "negative total"; }));
    EXPECT_EQ(6.0f, bar().maximum());
    EXPECT_EQ(2.0f, bar().value());
}

// The toolkit's wake-up queue holds about a thousand notices; the worker floods it while the UI
// thread is not looking, as a busy UI thread would, and the failure must still arrive.
TEST_F(NotificationsTest, FailureArrivesEvenWhenTheQueueIsFull) {
    run->window->startButton.deactivate();
    std::atomic<bool> flooded = false;
    std::atomic<bool> reported = false;
    ::testing::internal::CaptureStderr();
    std::thread worker([&] {
        for (int i = 1; i <= 5000; ++i) reportProgress(*run, {i, 5000, std::to_string(i)});
        flooded = true;
        reportFailure(*run, "Local source file not found: /mirror/b.7z");
        reported = true;
    });
    while (!flooded) std::this_thread::yield();
    std::string shown;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        shown = dialog.child(0)->label();
        dialog.do_callback();
    });
    bool arrived = pumpUntil([&] { return run->window->startButton.active(); });
    std::string err = ::testing::internal::GetCapturedStderr();
    worker.join();

    ASSERT_TRUE(arrived);
    EXPECT_TRUE(reported);
    EXPECT_EQ("Local source file not found: /mirror/b.7z", shown);
    EXPECT_EQ("Nuvra Updater error: Local source file not found: /mirror/b.7z\n", err);
    // Some progress was dropped, and what arrived came in posting order.
    int last = std::stoi(barLabel());
    EXPECT_LT(last, 5000);
    EXPECT_EQ(static_cast<float>(last), bar().value());
}

TEST(Notifications, HeadlessNotificationsWriteTheStreamsAndSetTheStatus) {
    TempDir temp;
    UpdateRun run = headlessRun(temp);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    reportProgress(run, {0, 6, "Starting"});
    reportFailure(run, "Unable to write file: /x");
    EXPECT_EQ(1, run.exitStatus);
    reportCompletion(run, "Update complete! You are all set to connect.");
    EXPECT_EQ(0, run.exitStatus);
    EXPECT_EQ(
        "[0/6] Starting\nUnable to write file: /x\nUpdate complete! You are all set to connect.\n",
        ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Nuvra Updater error: Unable to write file: /x\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, Fl::first_window());
}

namespace {

void ignoreNotice(void*) {}

}  // namespace

// One modpak of 6 MB arrives at about 2 MB/s: the bar moves with its bytes and says how many. Then
// the toolkit's queue is filled and left full while the download ends in a checksum mismatch: the
// worker finishes without waiting for the window, and its failure still arrives.
TEST_F(NotificationsTest, BarFollowsTheBytesAndTheFinalNoticeArrivesThroughAFullQueue) {
    LoopbackServer server(temp.path() / "server");
    server.serve("big.bin", std::string(6000000, 'x'));
    run->rootDir = temp.path() / "game";
    std::filesystem::create_directories(run->rootDir);
    run->config.url = server.url("/throttle/2000000/");
    run->remoteModpaks = {{1, "big.bin"}};
    run->remotePromises = {{std::uint64_t{6000000}, std::string(64, '0')}};
    run->window->mainWindow.show();
    std::string failure;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        failure = dialog.child(0)->label();
        dialog.hide();
    });
    startWorker(*run->window, [this] { runUpdate(*run); });

    ASSERT_TRUE(pumpUntil([&] {
        // Step 1 of 2 is the fetch: the bar lies part way from 1 to 2.
        return bar().maximum() == 2.0f && bar().value() > 1.1f && bar().value() < 1.9f &&
               barLabel().find(" of 6 MB, ") != std::string::npos;
    })) << barLabel();
    EXPECT_EQ(0u, barLabel().find("Fetching modpak 1: ")) << barLabel();
    saveScreenshot(run->window->mainWindow, "screenshots/progress-bytes.png");

    while (Fl::awake(ignoreNotice, nullptr) == 0) {
    }
    const std::filesystem::path part = run->rootDir / "big.bin.part";
    // Not pumping: the queue stays full until the worker has removed the mismatched file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::filesystem::exists(part) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // polling interval
    ASSERT_FALSE(std::filesystem::exists(part));
    ASSERT_TRUE(pumpUntil([&] { return !failure.empty(); }));
    EXPECT_EQ("Checksum mismatch for modpak 1: big.bin", failure);
    ASSERT_TRUE(pumpUntil([&] { return run->window->startButton.active(); }));
    run->window->worker->join();
}
