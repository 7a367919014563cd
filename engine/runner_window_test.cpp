#include "engine/runner.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "engine/update_run.h"
#include "testing/loopback_server.h"
#include "testing/temp_dir.h"
#include "ui/progress_window.h"
#include "ui/test_display.h"

namespace {

void ignoreNotice(void*) {}

}  // namespace

// One modpak of 6 MB arrives at about 2 MB/s: the bar moves with its bytes and says how many. Then
// the toolkit's queue is filled and left full while the download ends in a checksum mismatch: the
// worker finishes without waiting for the window, and its failure still arrives.
TEST(RunnerWindow, BarFollowsTheBytesAndTheFinalNoticeArrivesThroughAFullQueue) {
    if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
    TempDir temp;
    LaunchOptions options;
    options.root = temp.path();
    auto run = std::make_unique<UpdateRun>(std::move(options));
    run->window = std::make_unique<ProgressWindow>(3);
    Fl_Progress& bar = run->window->progressBar;
    auto barLabel = [&] { return std::string(bar.label() ? bar.label() : ""); };
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
    startWorker(*run->window, [&run] { runUpdate(*run); });

    ASSERT_TRUE(pumpUntil([&] {
        // Step 1 of 2 is the fetch: the bar lies part way from 1 to 2.
        return bar.maximum() == 2.0f && bar.value() > 1.1f && bar.value() < 1.9f &&
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
    EXPECT_EQ(1, run->exitStatus);
}
