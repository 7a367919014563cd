#include "ui/progress_window.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "ui/notifications.h"
#include "ui/test_display.h"

namespace {

class ProgressWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
    }
};

}  // namespace

TEST_F(ProgressWindowTest, WaitingWindowShowsTheWholeStatusAndAnIdleBar) {
    ProgressWindow window(1234);

    EXPECT_FALSE(window.mainWindow.shown());
    EXPECT_STREQ("Nuvra", window.mainWindow.label());
    EXPECT_STREQ(
        "Manifests downloaded and validated. 1234 modpak(s) pending. No files have been "
        "changed. Review the JSON files if needed, then click Start.",
        window.statusBox.label());
    EXPECT_STREQ("Start", window.startButton.label());
    EXPECT_TRUE(window.startButton.active());
    EXPECT_STREQ("Waiting", window.progressBar.label());
    EXPECT_EQ(0.0f, window.progressBar.value());
    EXPECT_TRUE(everyLabelReadable(window.mainWindow));
    // The group is closed: widgets made afterwards do not land in the window.
    EXPECT_EQ(nullptr, Fl_Group::current());
}

// The longest texts the bar is given, a byte count and a retry's note, shrink to fit inside it.
TEST_F(ProgressWindowTest, LongestBarTextsFitTheBar) {
    for (const std::string text :
         {"Fetching modpak 1234: 412.5 of 825.0 GB, 38 MB/s, 10:11:12 left",
          "Server said HTTP 503; retry in 60 s (attempt 3 of 3)"}) {
        SCOPED_TRACE(text);
        ProgressWindow window(1);
        showProgress(window, {1, 2, text});
        EXPECT_STREQ(text.c_str(), window.progressBar.label());
        EXPECT_TRUE(everyLabelReadable(window.mainWindow));
    }
}

TEST_F(ProgressWindowTest, StartIsInactiveBeforeOnStartRunsAndStaysSoWithoutOne) {
    ProgressWindow window(2);
    int calls = 0;
    bool activeDuringStart = true;
    window.onStart = [&] {
        ++calls;
        activeDuringStart = window.startButton.active();
    };
    window.startButton.do_callback();
    EXPECT_EQ(1, calls);
    EXPECT_FALSE(activeDuringStart);
    EXPECT_FALSE(window.startButton.active());

    ProgressWindow bare(2);
    bare.startButton.do_callback();
    EXPECT_FALSE(bare.startButton.active());
}

TEST_F(ProgressWindowTest, FailureToStartTheWorkerShowsTheErrorAndMakesStartUsableAgain) {
    ProgressWindow window(1);
    const std::system_error failure(
        std::make_error_code(std::errc::resource_unavailable_try_again));
    window.onStart = [&] { throw failure; };

    std::string shown;
    bool startActiveWhileShown = true;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        shown = dialog.child(0)->label();
        startActiveWhileShown = window.startButton.active();
        dialog.do_callback();
    });
    ::testing::internal::CaptureStderr();
    window.startButton.do_callback();
    std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(failure.what(), shown);
    EXPECT_FALSE(startActiveWhileShown);
    EXPECT_TRUE(window.startButton.active());
    EXPECT_EQ(std::string("Nuvra Updater error: ") + failure.what() + "\n", err);
}

TEST_F(ProgressWindowTest, AnotherStartReplacesTheFinishedWorkerAndNoExceptionEscapesIt) {
    ProgressWindow window(1);
    std::promise<void> firstDone;
    startWorker(window, [&] {
        firstDone.set_value();
        // Would end the test process through std::terminate if it left the thread body.
        throw std::runtime_error("escaped");
    });
    firstDone.get_future().wait();

    std::promise<std::thread::id> secondRan;
    startWorker(window, [&] { secondRan.set_value(std::this_thread::get_id()); });
    std::thread::id secondId = secondRan.get_future().get();

    ASSERT_TRUE(window.worker);
    EXPECT_TRUE(window.worker->joinable());
    EXPECT_EQ(secondId, window.worker->get_id());
}
