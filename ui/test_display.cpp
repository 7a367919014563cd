#include "ui/test_display.h"

#include <FL/Fl.H>
#include <FL/Fl_Window.H>
#include <X11/Xlib.h>

#include <chrono>
#include <memory>

#include "testing/xvfb.h"

namespace {

void answerShownDialog(void* data) {
    auto& answerer = *static_cast<DialogAnswerer*>(data);
    for (Fl_Window* window = Fl::first_window(); window; window = Fl::next_window(window)) {
        if (window->shown() && window->w() == 460 && window->h() == 170) {
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
