#include "ui/progress_window.h"

#include <FL/Fl.H>

#include <cstdio>
#include <string>
#include <utility>

#include "platform/process_exit.h"
#include "ui/dialogs.h"

std::string statusText(int pendingCount) {
    return "Manifests downloaded and validated. " + std::to_string(pendingCount) +
           " modpak(s) pending. No files have been changed. Review the JSON files if needed, then "
           "click Start.";
}

ProgressWindow::ProgressWindow(int pendingCount) : ProgressWindow(statusText(pendingCount), "Start") {}

ProgressWindow::ProgressWindow(const std::string& status, const std::string& buttonLabel)
    : mainWindow(420, 155, "Nuvra"),
      statusBox(20, 15, 375, 55),
      startButton(20, 90, 90, 30),
      progressBar(125, 90, 270, 30) {
    statusBox.copy_label(status.c_str());
    startButton.copy_label(buttonLabel.c_str());
    statusBox.align(FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
    progressBar.minimum(0);
    progressBar.redraw();
    progressBar.maximum(100);
    progressBar.redraw();
    progressBar.value(0);
    progressBar.redraw();
    progressBar.labelsize(12);
    progressBar.copy_label("Waiting");
    progressBar.selection_color(FL_GREEN);
    mainWindow.end();
    mainWindow.set_non_modal();
    mainWindow.callback(onWindowClose, this);
    startButton.callback(onStartClicked, this);
}

ProgressWindow::~ProgressWindow() {
    // Only reached when the event loop returned on its own: the run this worker uses is about to
    // be destroyed, so wait for it rather than leave it running on freed state.
    if (worker && worker->joinable()) worker->join();
}

void startWorker(ProgressWindow& window, std::function<void()> body) {
    std::thread thread([body = std::move(body)] {
        try {
            body();
        } catch (...) {
            // The runner reports its own failures; nothing may escape a thread body.
        }
    });
    // A joinable earlier worker has finished its run (Start is inactive while one runs).
    if (window.worker && window.worker->joinable()) window.worker->detach();
    window.worker = std::move(thread);
}

void onStartClicked(Fl_Widget*, void* data) {
    auto& window = *static_cast<ProgressWindow*>(data);
    {
        std::lock_guard<std::mutex> lock(window.mutex);
        window.startButton.deactivate();  // before a second click can be delivered
    }
    if (!window.onStart) return;
    try {
        window.onStart();
    } catch (const std::exception& error) {
        showStartFailure(window, error.what());
    }
}

void onWindowClose(Fl_Widget*, void* data) {
    auto& window = *static_cast<ProgressWindow*>(data);
    if (window.worker && window.worker->joinable()) window.worker->detach();
    endProcess(0);
}

void showStartFailure(ProgressWindow& window, const std::string& text) {
    std::fprintf(stderr, "Nuvra Updater error: %s\n", text.c_str());
    askConfirmation(false, text);
    std::lock_guard<std::mutex> lock(window.mutex);
    window.startButton.activate();
}
