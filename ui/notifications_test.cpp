#include "ui/notifications.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "ui/progress_window.h"
#include "ui/test_display.h"

namespace {

// A window-mode run's progress window, as synchronize leaves it before Start.
class NotificationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
        window = std::make_unique<ProgressWindow>(3);
    }

    Fl_Progress& bar() { return window->progressBar; }
    std::string barLabel() { return bar().label() ? bar().label() : ""; }

    std::unique_ptr<ProgressWindow> window;
};

}  // namespace

TEST_F(NotificationsTest, ProgressFromTheWorkerMovesTheBarInOrder) {
    std::thread worker([this] {
        reportProgress(window.get(), {0, 6, "Starting"});
        reportProgress(window.get(), {3, 6, "Fetching modpak 2"});
    });
    worker.join();
    ASSERT_TRUE(pumpUntil([&] { return barLabel() == "Fetching modpak 2"; }));
    EXPECT_EQ(6.0f, bar().maximum());
    EXPECT_EQ(3.0f, bar().value());

    // A total of 0 or less keeps the maximum; value and label still follow.
    std::thread again([this] {
        reportProgress(window.get(), {1, 0, "zero total"});
        reportProgress(window.get(), {2, -4, "negative total"});
    });
    again.join();
    ASSERT_TRUE(pumpUntil([&] { return barLabel() == "negative total"; }));
    EXPECT_EQ(6.0f, bar().maximum());
    EXPECT_EQ(2.0f, bar().value());
}

// The toolkit's wake-up queue holds about a thousand notices; the worker floods it while the UI
// thread is not looking, as a busy UI thread would, and the failure must still arrive.
TEST_F(NotificationsTest, FailureArrivesEvenWhenTheQueueIsFull) {
    window->startButton.deactivate();
    std::atomic<bool> flooded = false;
    std::atomic<bool> reported = false;
    ::testing::internal::CaptureStderr();
    std::thread worker([&] {
        for (int i = 1; i <= 5000; ++i) reportProgress(window.get(), {i, 5000, std::to_string(i)});
        flooded = true;
        reportFailure(window.get(), "Local source file not found: /mirror/b.7z");
        reported = true;
    });
    while (!flooded) std::this_thread::yield();
    std::string shown;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        shown = dialog.child(0)->label();
        dialog.do_callback();
    });
    bool arrived = pumpUntil([&] { return window->startButton.active(); });
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

TEST(Notifications, HeadlessNotificationsWriteTheStreams) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    reportProgress(nullptr, {0, 6, "Starting"});
    reportStepProgress(nullptr, {0, 6, "not shown headless"});
    reportFailure(nullptr, "Unable to write file: /x");
    reportCompletion(nullptr, "Update complete! You are all set to connect.");
    EXPECT_EQ(
        "[0/6] Starting\nUnable to write file: /x\nUpdate complete! You are all set to connect.\n",
        ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Nuvra Updater error: Unable to write file: /x\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(nullptr, Fl::first_window());
}
