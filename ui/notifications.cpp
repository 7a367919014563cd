#include "ui/notifications.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "app/update_run.h"
#include "ui/dialogs.h"
#include "ui/process_exit.h"
#include "ui/progress_window.h"

namespace {

struct CompletionNotice {
    UpdateRun* run = nullptr;
    std::string text;
};

void writeLine(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// The toolkit's wake-up queue has a fixed size. A final notice must never be lost, or the window
// would stay in its running state for ever, so it is posted again until the queue takes it.
void postUntilTaken(Fl_Awake_Handler handler, void* data) {
    while (Fl::awake(handler, data) != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void handleProgress(void* data) {
    std::unique_ptr<ProgressReport> report(static_cast<ProgressReport*>(data));
    if (!currentRun || !currentRun->window) return;
    ProgressWindow& window = *currentRun->window;
    std::lock_guard<std::mutex> lock(window.mutex);
    showProgress(window, *report);
}

void handleCompletion(void* data) {
    std::unique_ptr<CompletionNotice> notice(static_cast<CompletionNotice*>(data));
    if (notice->run->window) {
        std::lock_guard<std::mutex> lock(notice->run->window->mutex);
        notice->run->window->mainWindow.hide();
    }
    showMessage(*notice->run, notice->text);
    notice.reset();
    endProcess(0);
}

void handleFailure(void* data) {
    std::unique_ptr<std::string> text(static_cast<std::string*>(data));
    if (!currentRun) return;
    askConfirmation(*currentRun, *text);
    if (currentRun->window) {
        std::lock_guard<std::mutex> lock(currentRun->window->mutex);
        currentRun->window->startButton.activate();
    }
}

}  // namespace

void showProgress(ProgressWindow& window, const ProgressReport& report) {
    if (report.total > 0) {
        window.progressBar.maximum(static_cast<float>(report.total));
        window.progressBar.redraw();
    }
    window.progressBar.value(static_cast<float>(report.current + report.fraction));
    window.progressBar.redraw();
    window.progressBar.copy_label(report.text.c_str());
    // A byte count with speed and time left, or a retry's note, is longer than a step's name:
    // the bar's own text shrinks until it fits inside the bar rather than being cut off.
    int size = 12;
    fl_font(window.progressBar.labelfont(), size);
    while (size > 8 && fl_width(report.text.c_str()) > window.progressBar.w() - 6)
        fl_font(window.progressBar.labelfont(), --size);
    window.progressBar.labelsize(size);
    window.progressBar.redraw();
}

void reportProgress(UpdateRun& run, const ProgressReport& report) {
    if (run.options.headless) {
        writeLine(stdout, "[" + std::to_string(report.current) + "/" +
                              std::to_string(report.total) + "] " + report.text);
        return;
    }
    auto* copy = new ProgressReport(report);
    // A dropped progress notice is superseded by the next one.
    if (Fl::awake(handleProgress, copy) != 0) delete copy;
}

void reportStepProgress(UpdateRun& run, const ProgressReport& report) {
    if (run.options.headless) return;
    auto* copy = new ProgressReport(report);
    // The worker never waits for the window: a dropped notice is superseded by the next one.
    if (Fl::awake(handleProgress, copy) != 0) delete copy;
}

void reportCompletion(UpdateRun& run, const std::string& text) {
    if (run.options.headless) {
        askConfirmation(run, text);
        run.exitStatus = 0;
        return;
    }
    postUntilTaken(handleCompletion, new CompletionNotice{&run, text});
}

void reportFailure(UpdateRun& run, const std::string& text) {
    writeLine(stderr, "Nuvra Updater error: " + text);
    if (run.options.headless) {
        askConfirmation(run, text);
        run.exitStatus = 1;
        return;
    }
    postUntilTaken(handleFailure, new std::string(text));
}
