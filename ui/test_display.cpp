#include "ui/test_display.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>

#include "testing/process.h"
#include "testing/xvfb.h"
#include "ui/dialogs.h"
#include "ui/notifications.h"
#include "ui/progress_window.h"

namespace {

void answerShownDialog(void* data) {
    auto& answerer = *static_cast<DialogAnswerer*>(data);
    for (Fl_Window* window = Fl::first_window(); window; window = Fl::next_window(window)) {
        if (window->shown() && window->modal()) {
            answerer.answer(*window);
            return;
        }
    }
}

}  // namespace

bool useTestDisplay() {
    // One server for the whole test process: the toolkit keeps its display connection open until
    // the process ends, so the server must outlive every test.
    static std::unique_ptr<XvfbServer> server;
    if (!server) {
        server = std::make_unique<XvfbServer>();
        if (!server->display.empty()) {
            Fl::display(server->display.c_str());
            Fl::lock();
        }
    }
    return !server->display.empty();
}

bool pumpUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        Fl::wait(0.05);
    }
    return true;
}

DialogAnswerer::DialogAnswerer(std::function<void(Fl_Window&)> answerDialog)
    : answer(std::move(answerDialog)) {
    // A check runs on every pass of every wait loop, the dialogs' own loops included.
    Fl::add_check(answerShownDialog, this);
}

DialogAnswerer::~DialogAnswerer() { Fl::remove_check(answerShownDialog, this); }

void requestWindowClose(const std::string& display, unsigned long windowId) {
    ::Display* connection = XOpenDisplay(display.c_str());
    if (!connection) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = windowId;
    event.xclient.message_type = XInternAtom(connection, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(connection, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(connection, windowId, False, NoEventMask, &event);
    XCloseDisplay(connection);  // flushes the request
}

std::vector<unsigned long> windowPixels(const std::string& display, unsigned long windowId,
                                        TextArea area) {
    ::Display* connection = display.empty() ? fl_display : XOpenDisplay(display.c_str());
    if (!connection) return {};
    std::vector<unsigned long> pixels;
    if (display.empty()) XSync(connection, False);
    if (XImage* image =
            XGetImage(connection, windowId, area.x, area.y, static_cast<unsigned>(area.w),
                      static_cast<unsigned>(area.h), AllPlanes, ZPixmap)) {
        for (int y = 0; y < area.h; ++y)
            for (int x = 0; x < area.w; ++x) pixels.push_back(XGetPixel(image, x, y));
        XDestroyImage(image);
    }
    if (!display.empty()) XCloseDisplay(connection);
    return pixels;
}

namespace {

// The shown window's area once two readings in a row agree and hold more than one colour, that
// is once it has been drawn.
std::vector<unsigned long> drawnPixels(Fl_Window& window, TextArea area) {
    std::vector<unsigned long> previous;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        Fl::flush();
        std::vector<unsigned long> pixels = windowPixels("", fl_xid(&window), area);
        bool drawn =
            !pixels.empty() && std::find_if(pixels.begin(), pixels.end(), [&](unsigned long pixel) {
                                   return pixel != pixels.front();
                               }) != pixels.end();
        if (drawn && pixels == previous) return pixels;
        previous = std::move(pixels);
        Fl::wait(0.05);
    }
    return {};
}

}  // namespace

std::vector<unsigned long> dialogTextPicture(const std::string& text) {
    if (!useTestDisplay()) return {};
    std::vector<unsigned long> picture;
    DialogAnswerer answerer([&](Fl_Window& dialog) {
        picture = drawnPixels(dialog, dialogTextArea);
        dialog.do_callback();
    });
    showMessage(false, text);
    return picture;
}

std::vector<unsigned long> statusTextPicture(int pendingCount) {
    return statusTextPicture(statusText(pendingCount));
}

std::vector<unsigned long> statusTextPicture(const std::string& status) {
    if (!useTestDisplay()) return {};
    ProgressWindow window(status, "Start");
    window.mainWindow.show();
    std::vector<unsigned long> picture = drawnPixels(window.mainWindow, statusTextArea);
    window.mainWindow.hide();
    return picture;
}

std::vector<unsigned long> progressBarPicture(const ProgressReport& report) {
    if (!useTestDisplay()) return {};
    ProgressWindow window(1);
    window.mainWindow.show();
    showProgress(window, report);
    std::vector<unsigned long> picture = drawnPixels(window.mainWindow, progressBarArea);
    window.mainWindow.hide();
    return picture;
}

bool everyLabelReadable(Fl_Window& window) {
    fl_open_display();
    // Measured at the window's scale, as drawn.
    if (window.shown()) window.make_current();
    for (int i = 0; i < window.children(); ++i) {
        const Fl_Widget& widget = *window.child(i);
        if (widget.x() < 0 || widget.y() < 0 || widget.x() + widget.w() > window.w() ||
            widget.y() + widget.h() > window.h())
            return false;
        for (int j = 0; j < i; ++j) {
            const Fl_Widget& other = *window.child(j);
            if (widget.x() < other.x() + other.w() && other.x() < widget.x() + widget.w() &&
                widget.y() < other.y() + other.h() && other.y() < widget.y() + widget.h())
                return false;
        }
        if (!widget.label()) continue;
        fl_font(widget.labelfont(), widget.labelsize());
        int w = (widget.align() & FL_ALIGN_WRAP) ? widget.w() : 0;
        int h = 0;
        fl_measure(widget.label(), w, h);  // as drawn: "@@", for one, shows one '@'
        if (w > widget.w() || h > widget.h()) return false;
    }
    return true;
}

void saveScreenshot(Fl_Window& window, const std::string& file) {
    Fl::flush();
    XSync(fl_display, False);
    const std::filesystem::path path(file);
    std::error_code ignored;
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ignored);
    if (!fl_display || !window.shown()) return;
    runProcess("/usr/bin/import", {"-display", DisplayString(fl_display), "-window",
                                   std::to_string(fl_xid(&window)), file});
}
