#include "ui/notifications.h"

#include <FL/Fl.H>
#include <FL/fl_draw.H>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/process_exit.h"
#include "ui/dialogs.h"
#include "ui/progress_window.h"

namespace {

struct ProgressNotice {
    ProgressWindow* window = nullptr;
    ProgressReport report;
};

struct TextNotice {
    ProgressWindow* window = nullptr;
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
    std::unique_ptr<ProgressNotice> notice(static_cast<ProgressNotice*>(data));
    std::lock_guard<std::mutex> lock(notice->window->mutex);
    showProgress(*notice->window, notice->report);
}

void handleCompletion(void* data) {
    std::unique_ptr<TextNotice> notice(static_cast<TextNotice*>(data));
    {
        std::lock_guard<std::mutex> lock(notice->window->mutex);
        notice->window->mainWindow.hide();
    }
    showMessage(false, notice->text);
    notice.reset();
    endProcess(0);
}

void handleFailure(void* data) {
    std::unique_ptr<TextNotice> notice(static_cast<TextNotice*>(data));
    askConfirmation(false, notice->text);
    std::lock_guard<std::mutex> lock(notice->window->mutex);
    notice->window->startButton.activate();
}

struct StepNotice {
    ProgressWindow* window = nullptr;
    std::string status;
    std::string buttonLabel;
    std::function<void()> onClick;
};

void handleNextStep(void* data) {
    std::unique_ptr<StepNotice> notice(static_cast<StepNotice*>(data));
    ProgressWindow& window = *notice->window;
    std::lock_guard<std::mutex> lock(window.mutex);
    window.statusBox.copy_label(notice->status.c_str());
    window.statusBox.redraw();
    window.startButton.copy_label(notice->buttonLabel.c_str());
    window.onStart = std::move(notice->onClick);
    window.startButton.activate();
}

struct QuestionNotice {
    std::string text;
    std::promise<bool> answer;
};

void handleQuestion(void* data) {
    auto& notice = *static_cast<QuestionNotice*>(data);
    notice.answer.set_value(askRetryOrCancel(notice.text));
}

// A dropped progress notice is superseded by the next one; the worker never waits for the window.
void postProgress(ProgressWindow& window, const ProgressReport& report) {
    auto* notice = new ProgressNotice{&window, report};
    if (Fl::awake(handleProgress, notice) != 0) delete notice;
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

void reportProgress(ProgressWindow* window, const ProgressReport& report) {
    if (!window) {
        writeLine(stdout, "[" + std::to_string(report.current) + "/" +
                              std::to_string(report.total) + "] " + report.text);
        return;
    }
    postProgress(*window, report);
}

void reportStepProgress(ProgressWindow* window, const ProgressReport& report) {
    if (window) postProgress(*window, report);
}

void reportCompletion(ProgressWindow* window, const std::string& text) {
    if (!window) {
        askConfirmation(true, text);
        return;
    }
    postUntilTaken(handleCompletion, new TextNotice{window, text});
}

void reportFailure(ProgressWindow* window, const std::string& text) {
    writeLine(stderr, "Nuvra Updater error: " + text);
    if (!window) {
        askConfirmation(true, text);
        return;
    }
    postUntilTaken(handleFailure, new TextNotice{window, text});
}

void offerNextStep(ProgressWindow& window, const std::string& status,
                   const std::string& buttonLabel, std::function<void()> onClick) {
    postUntilTaken(handleNextStep,
                   new StepNotice{&window, status, buttonLabel, std::move(onClick)});
}

bool askRetry(ProgressWindow* window, const std::string& text) {
    if (!window) return false;
    // The worker waits for the answer, so the notice can live on its stack.
    QuestionNotice notice{text, {}};
    std::future<bool> answer = notice.answer.get_future();
    postUntilTaken(handleQuestion, &notice);
    return answer.get();
}
