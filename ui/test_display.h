#pragma once
#include <functional>
#include <string>

class Fl_Window;

// Points the toolkit at a private Xvfb shared by the in-process window tests of this test process
// and takes the toolkit lock, as main does. False when no X server could be started: the caller
// skips.
bool useTestDisplay();

// Runs the toolkit's event loop until `done` holds; false if it still does not after 20 seconds.
bool pumpUntil(const std::function<bool()>& done);

// While it exists, every dialog (a shown 460 x 170 window) is handed to `answer` from inside the
// dialog's own wait loop; `answer` must close it, for example with its buttons' do_callback.
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
