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

struct SeenWidget {
    int x = 0, y = 0, w = 0, h = 0;
    std::string label;
    Fl_Align align = 0;
    bool returnButton = false;
};

// What a dialog looked like while it was shown.
struct SeenDialog {
    std::string title;
    bool modal = false;
    std::vector<SeenWidget> widgets;
};

SeenDialog look(Fl_Window& dialog) {
    SeenDialog seen{dialog.label() ? dialog.label() : "", dialog.modal() != 0, {}};
    for (int i = 0; i < dialog.children(); ++i) {
        Fl_Widget& widget = *dialog.child(i);
        seen.widgets.push_back({widget.x(), widget.y(), widget.w(), widget.h(),
                                widget.label() ? widget.label() : "", widget.align(),
                                dynamic_cast<Fl_Return_Button*>(&widget) != nullptr});
    }
    return seen;
}

void expectWidget(const SeenWidget& widget, int x, int y, int w, int h, const std::string& label) {
    EXPECT_EQ(x, widget.x);
    EXPECT_EQ(y, widget.y);
    EXPECT_EQ(w, widget.w);
    EXPECT_EQ(h, widget.h);
    EXPECT_EQ(label, widget.label);
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
    ASSERT_EQ(3u, seen.widgets.size());
    expectWidget(seen.widgets[0], 20, 20, 420, 70, text);
    EXPECT_EQ(148, seen.widgets[0].align);
    expectWidget(seen.widgets[1], 70, 115, 120, 32, "OK");
    EXPECT_TRUE(seen.widgets[1].returnButton);  // Enter means OK
    expectWidget(seen.widgets[2], 270, 115, 120, 32, "Cancel");
    EXPECT_FALSE(seen.widgets[2].returnButton);

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
    ASSERT_EQ(2u, seen.widgets.size());
    expectWidget(seen.widgets[0], 20, 20, 420, 70, text);
    EXPECT_EQ(148, seen.widgets[0].align);
    expectWidget(seen.widgets[1], 170, 115, 120, 32, "OK");
    EXPECT_TRUE(seen.widgets[1].returnButton);

    useCloseBox = true;
    showMessage(*run, "");
    EXPECT_EQ("", seen.widgets[0].label);
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
