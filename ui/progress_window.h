#pragma once
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Progress.H>

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct ProgressWindow {
    explicit ProgressWindow(int pendingCount);
    // A window of its own kind: `status` above, and the one button labelled `buttonLabel`, whose
    // click calls onStart as Start's does.
    ProgressWindow(const std::string& status, const std::string& buttonLabel);
    ~ProgressWindow();
    ProgressWindow(const ProgressWindow&) = delete;
    ProgressWindow& operator=(const ProgressWindow&) = delete;

    Fl_Double_Window mainWindow;
    Fl_Box statusBox;
    Fl_Button startButton;
    Fl_Progress progressBar;
    std::function<void()> onStart;
    std::optional<std::thread> worker;
    std::mutex mutex;
};

// "Manifests downloaded and validated. <n> modpak(s) pending. ..."
std::string statusText(int pendingCount);

// Starts `body` on a new worker thread held by the window; an earlier finished worker is detached.
// Raises std::system_error when the thread cannot be created (`worker` is then left as it was).
void startWorker(ProgressWindow& window, std::function<void()> body);

// Shown when the worker cannot be started: the error dialog, then Start is usable again.
void showStartFailure(ProgressWindow& window, const std::string& text);

void onStartClicked(Fl_Widget* widget, void* data);
void onWindowClose(Fl_Widget* widget, void* data);
