#include "ui/dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Window.H>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>

#include "ui/test_display.h"

namespace {

// What a dialog looked like while it was shown.
struct SeenDialog {
    std::string title;
    bool modal = false;
    bool readable = false;
    std::vector<std::string> labels;
    int returnButton = -1;  // the child that Enter presses
    std::array<int, 2> size{};
    std::vector<std::array<int, 4>> places;  // each child's x, y, w and h
};

SeenDialog look(Fl_Window& dialog) {
    SeenDialog seen;
    seen.title = dialog.label() ? dialog.label() : "";
    seen.modal = dialog.modal() != 0;
    seen.readable = everyLabelReadable(dialog);
    seen.size = {dialog.w(), dialog.h()};
    for (int i = 0; i < dialog.children(); ++i) {
        Fl_Widget& widget = *dialog.child(i);
        seen.labels.push_back(widget.label() ? widget.label() : "");
        seen.places.push_back({widget.x(), widget.y(), widget.w(), widget.h()});
        if (dynamic_cast<Fl_Return_Button*>(&widget)) seen.returnButton = i;
    }
    return seen;
}

class DialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!useTestDisplay()) GTEST_SKIP() << "no X server (Xvfb) available";
    }
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

    EXPECT_TRUE(askConfirmation(false, text));
    EXPECT_EQ("Nuvra", seen.title);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.readable);
    EXPECT_EQ((std::vector<std::string>{text, "OK", "Cancel"}), seen.labels);
    EXPECT_EQ(1, seen.returnButton);  // Enter means OK
    EXPECT_EQ((std::array<int, 2>{460, 170}), seen.size);
    EXPECT_EQ((std::vector<std::array<int, 4>>{
                  {20, 20, 420, 70}, {70, 115, 120, 32}, {270, 115, 120, 32}}),
              seen.places);

    pressed = 2;
    EXPECT_FALSE(askConfirmation(false, text));
    pressed = -1;
    EXPECT_FALSE(askConfirmation(false, text));
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

    showMessage(false, text);
    EXPECT_EQ("Nuvra", seen.title);
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.readable);
    EXPECT_EQ((std::vector<std::string>{text, "OK"}), seen.labels);
    EXPECT_EQ(1, seen.returnButton);
    EXPECT_EQ((std::array<int, 2>{460, 170}), seen.size);
    EXPECT_EQ((std::vector<std::array<int, 4>>{{20, 20, 420, 70}, {170, 115, 120, 32}}),
              seen.places);

    useCloseBox = true;
    showMessage(false, "");
    EXPECT_EQ("", seen.labels[0]);
    EXPECT_EQ(2, shown);
    EXPECT_EQ(nullptr, Fl::first_window());
}

namespace {

// The box that shows a dialog's text: the window's first child, or the box inside it when that
// is a view that scrolls.
Fl_Widget& textBox(Fl_Window& dialog) {
    if (auto* view = dialog.child(0)->as_group()) {
        for (int i = 0; i < view->children(); ++i)
            if (dynamic_cast<Fl_Box*>(view->child(i))) return *view->child(i);
    }
    return *dialog.child(0);
}

// What a player sees of `label`, spaces and line breaks left out: the toolkit draws "@@" as one
// '@' and takes a lone '@' for the start of a symbol's name, drawing no more of the text.
std::string shownCharacters(const std::string& label) {
    std::string shown;
    for (size_t i = 0; i < label.size(); ++i) {
        if (label[i] == ' ' || label[i] == '\n') continue;
        if (label[i] == '@' && (i + 1 == label.size() || label[++i] != '@')) break;
        shown += label[i];
    }
    return shown;
}

std::string withoutSpaces(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

}  // namespace

// A path wider than a line, sentences (with an address and a long address of a file) that need
// more lines than the box had, and text for a window taller than two thirds of the screen.
TEST_F(DialogsTest, LongTextsWrapAndTheDialogGrowsUntilEveryCharacterShows) {
    const std::string path =
        "Unable to write archive entry: /home/player/games/Some Long "
        "Folder/mods/textures/very/deep/path/with_a_really_long_file_name_that_never_ends.dds";
    const std::string sentences =
        "Download failed for "
        "http://127.0.0.1:8080/nuvra/autumn-2024/maps_and_textures_for_the_autumn_season_v17.7z: "
        "HTTP response code said error. The server says: our community server is being "
        "maintained tonight, and modpaks cannot be downloaded until 22:00 UTC; please try again "
        "after that. If the problem persists, write to admin@example.org with this message. ";
    std::string tooTall;
    for (int i = 0; i < 20; ++i) tooTall += sentences;
    struct Case {
        std::string text;
        bool confirmation;
        bool scrolls;
        std::string screenshot;
    };
    // Also at 200 %, where the text is drawn from a font of twice the size, whose glyphs need not
    // be exactly twice as wide.
    for (float scale : {1.0f, 2.0f}) {
        Fl::screen_scale(0, scale);
        int screenX = 0, screenY = 0, screenW = 0, screenH = 0;
        Fl::screen_work_area(screenX, screenY, screenW, screenH);
        for (const Case& c : std::vector<Case>{{path, true, false, ""},
                                               {sentences, false, false, "dialog-long-message"},
                                               {tooTall, false, true, ""}}) {
            SCOPED_TRACE(c.text.substr(0, 40) + " at " + std::to_string(scale));
            int answered = 0;
            DialogAnswerer answerer([&](Fl_Window& dialog) {
                ++answered;
                const Fl_Widget& view = *dialog.child(0);
                const Fl_Widget& box = textBox(dialog);
                // The toolkit draws a left-aligned label 3 pixels in from either side of its box.
                int w = box.w() - 6, h = 0;
                box.measure_label(w, h);
                EXPECT_LE(w, box.w() - 6);
                EXPECT_LE(h, box.h());
                EXPECT_EQ(withoutSpaces(c.text), shownCharacters(box.label()));
                EXPECT_TRUE(everyLabelReadable(dialog));  // the view, and the buttons below it
                EXPECT_EQ(460, dialog.w());
                EXPECT_LE(dialog.h(), std::max(170, screenH * 2 / 3));
                EXPECT_EQ(c.scrolls, box.h() > view.h());
                // The scroll bar stands beside the text, not over it.
                if (c.scrolls) {
                    EXPECT_LE(box.x() + box.w() + Fl::scrollbar_size(), view.x() + view.w());
                }
                for (int i = 1; i < dialog.children(); ++i)
                    EXPECT_GE(dialog.child(i)->y(), view.y() + view.h());
                if (!c.screenshot.empty()) {
                    dialog.wait_for_expose();
                    saveScreenshot(dialog, "screenshots/" + c.screenshot +
                                               (scale == 1.0f ? ".png" : "-200.png"));
                }
                dialog.child(1)->do_callback();
            });
            if (c.confirmation)
                EXPECT_TRUE(askConfirmation(false, c.text));
            else
                showMessage(false, c.text);
            EXPECT_EQ(1, answered);
        }
    }
    Fl::screen_scale(0, 1.0f);
    EXPECT_EQ(nullptr, Fl::first_window());
}

TEST(Dialogs, HeadlessDialogsPrintTheTextAndOpenNoWindow) {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(askConfirmation(true, "Welcome"));
    showMessage(true, "");
    EXPECT_EQ("Welcome\n\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ(nullptr, Fl::first_window());
}

TEST_F(DialogsTest, RetryOrCancelAnswersWhatWasChosen) {
    const std::string text =
        "Files in use for modpak 1: game.dll. Close the game, or whatever "
        "holds them, and try again.";
    SeenDialog seen;
    int pressed = 1;  // child index: 1 is Retry, 2 is Cancel; -1 is the window's close request
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        seen = look(dialog);
        if (pressed < 0)
            dialog.do_callback();
        else
            dialog.child(pressed)->do_callback();
    });

    EXPECT_TRUE(askRetryOrCancel(text));
    EXPECT_EQ((std::vector<std::string>{text, "Retry", "Cancel"}), seen.labels);
    EXPECT_EQ(1, seen.returnButton);  // Enter means Retry
    pressed = 2;
    EXPECT_FALSE(askRetryOrCancel(text));
    pressed = -1;
    EXPECT_FALSE(askRetryOrCancel(text));
}
