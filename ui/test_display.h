#pragma once
#include <functional>
#include <string>
#include <vector>

class Fl_Widget;
class Fl_Window;
struct ProgressReport;

// Points the toolkit at a private Xvfb shared by the in-process window tests of this test process
// and takes the toolkit lock, as main does. False when no X server could be started: the caller
// skips.
bool useTestDisplay();

// Runs the toolkit's event loop until `done` holds; false if it still does not after 20 seconds.
bool pumpUntil(const std::function<bool()>& done);

// While it exists, every dialog (a shown modal window, whatever size its text gave it) is handed to
// `answer` from inside the dialog's own wait loop; `answer` must close it, for example with its
// buttons' do_callback.
struct DialogAnswerer {
    explicit DialogAnswerer(std::function<void(Fl_Window&)> answerDialog);
    ~DialogAnswerer();
    DialogAnswerer(const DialogAnswerer&) = delete;
    DialogAnswerer& operator=(const DialogAnswerer&) = delete;

    std::function<void(Fl_Window&)> answer;
};

// Sends the window manager's close request (WM_DELETE_WINDOW, what the close box sends) to the
// X window `windowId` on `display`.
void requestWindowClose(const std::string& display, unsigned long windowId);

// The area a dialog shows its text in, and the one the progress window shows its status in.
struct TextArea {
    int x = 0, y = 0, w = 0, h = 0;
};
constexpr TextArea dialogTextArea{20, 20, 420, 70};
constexpr TextArea statusTextArea{20, 15, 375, 55};
constexpr TextArea progressBarArea{125, 90, 270, 30};

// The pixels of `area` in X window `windowId` on `display` (empty: this process's own
// connection), row by row; empty when they cannot be read.
std::vector<unsigned long> windowPixels(const std::string& display, unsigned long windowId,
                                        TextArea area);

// What a player sees of `text` in a dialog, and of the progress window's status (the waiting one
// for `pendingCount` modpaks, or any): drawn by this process, for comparison with the real
// program's windows on an X server started the same way.
std::vector<unsigned long> dialogTextPicture(const std::string& text);
std::vector<unsigned long> statusTextPicture(int pendingCount);
std::vector<unsigned long> statusTextPicture(const std::string& status);
// What a player sees of the progress bar once the window has shown `report`.
std::vector<unsigned long> progressBarPicture(const ProgressReport& report);

// True when a player can read all of `window`'s widgets: each lies inside the window, clear of
// the others, and shows its whole label inside itself (wrapped to its width when it wraps).
bool everyLabelReadable(Fl_Window& window);

// Saves what `window` shows as a PNG picture at `file` (its folder made first), for a person to
// look at; a picture that cannot be taken is skipped.
void saveScreenshot(Fl_Window& window, const std::string& file);
