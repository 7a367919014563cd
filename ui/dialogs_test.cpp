#include "ui/dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <string>

#include "app/update_run.h"
#include "testing/temp_dir.h"
#include "ui/test_display.h"

namespace {

// What a dialog looked like while it was shown.
struct SeenDialog {
    std::string title;
    bool modal = false;
    bool readable = false;
    std::vector<std::string> labels;
    int returnButton = -1;  // the child that Enter presses
};

SeenDialog look(Fl_Window& dialog) {
    SeenDialog seen{
        dialog.label() ? dialog.label() : "", dialog.modal() != 0, everyLabelReadable(dialog), {}};
    for (int i = 0; i < dialog.children(); ++i) {
        Fl_Widget& widget = *dialog.child(i);
        seen.labels.push_back(widget.label() ? widget.label() : "");
        if (dynamic_cast<Fl_Return_Button*>(&widget)) seen.returnButton = i;
    }
    return seen;
}

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
        LaunchOptions options;
        options.root = temp.path();
        run = std::make_unique<UpdateRun>(std::move(options));
    }

    TempDir temp;
    std::unique_ptr<UpdateRun> run;
};

}  // namespace

TEST_F(DialogsTest, ConfirmationShowsTextWithOkAndCancelAndAnswersWhatWasChosen) {
    const std::string text =
        "Welcome to Nuvra. Click OK to synchronize your files with the latest.";
    SeenDialog seen;
    int pressed = 1;  // child index: 1 is OK, 2 is Cancel; -1 is the window's close request
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        seen = look(dialog);
        if (pressed < 0)
            dialog.do_callback();
        else
            dialog.child(pressed)->do_callback();
    });

    EXPECT_TRUE(askConfirmation(*run, text));
    EXPECT_EQ("Nuvra", seen.title);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.readable);
    EXPECT_EQ((std::vector<std::string>{text, "OK", "Cancel"}), seen.labels);
    EXPECT_EQ(1, seen.returnButton);  // Enter means OK

    pressed = 2;
    EXPECT_FALSE(askConfirmation(*run, text));
    pressed = -1;
    EXPECT_FALSE(askConfirmation(*run, text));
    // Nothing of a dialog outlives its call.
    EXPECT_EQ(nullptr, Fl::first_window());
}

TEST_F(DialogsTest, MessageShowsTextWithOneOkAndReturnsWhenClosed) {
    const std::string text = "Update complete! You are already up to date.";
    SeenDialog seen;
    bool useCloseBox = false;
    int shown = 0;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        seen = look(dialog);
        ++shown;
        if (useCloseBox)
            dialog.do_callback();
        else
            dialog.child(1)->do_callback();
    });

    showMessage(*run, text);
    EXPECT_EQ("Nuvra", seen.title);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.readable);
    EXPECT_EQ((std::vector<std::string>{text, "OK"}), seen.labels);
    EXPECT_EQ(1, seen.returnButton);

    useCloseBox = true;
    showMessage(*run, "");
    EXPECT_EQ("", seen.labels[0]);
    EXPECT_EQ(2, shown);
    EXPECT_EQ(nullptr, Fl::first_window());
}

TEST(Dialogs, HeadlessDialogsPrintTheTextAndOpenNoWindow) {
    TempDir temp;
    LaunchOptions options;
    options.root = temp.path();
    options.headless = true;
    UpdateRun run(std::move(options));
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(askConfirmation(run, "Welcome"));
    showMessage(run, "");
    EXPECT_EQ("Welcome\n\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(nullptr, Fl::first_window());
}
