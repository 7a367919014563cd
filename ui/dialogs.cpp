#include "ui/dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Return_Button.H>

#include <cstdio>

#include "app/update_run.h"

namespace {

constexpr Fl_Align textAlignment = FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP;

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Members in this order so that they are destroyed button first, window last.
struct MessageDialog {
    MessageDialog(const char* title, const std::string& text)
        : dialogWindow(460, 170, title),
          messageBox(20, 20, 420, 70, text.c_str()),
          okButton(170, 115, 120, 32, "OK") {}

    Fl_Double_Window dialogWindow;
    Fl_Box messageBox;
    Fl_Return_Button okButton;
};

struct ConfirmationDialog {
    ConfirmationDialog(const char* title, const std::string& text)
        : dialogWindow(460, 170, title),
          messageBox(20, 20, 420, 70, text.c_str()),
          okButton(70, 115, 120, 32, "OK"),
          cancelButton(270, 115, 120, 32, "Cancel") {}

    Fl_Double_Window dialogWindow;
    Fl_Box messageBox;
    Fl_Return_Button okButton;
    Fl_Button cancelButton;
    bool accepted = false;
};

void onMessageClose(Fl_Widget*, void* data) {
    static_cast<MessageDialog*>(data)->dialogWindow.hide();
}

void onConfirmationOk(Fl_Widget*, void* data) {
    auto& dialog = *static_cast<ConfirmationDialog*>(data);
    dialog.accepted = true;
    dialog.dialogWindow.hide();
}

// Cancel, the close box and Escape all land here.
void onConfirmationCancel(Fl_Widget*, void* data) {
    auto& dialog = *static_cast<ConfirmationDialog*>(data);
    dialog.accepted = false;
    dialog.dialogWindow.hide();
}

void runModal(Fl_Double_Window& window) {
    window.end();
    window.set_modal();
    window.show();
    // Wake-ups from the worker keep being handled inside this loop.
    while (window.shown()) Fl::wait();
}

}  // namespace

void showMessage(UpdateRun& run, const std::string& text) {
    if (run.options.headless) {
        printLine(text);
        return;
    }
    const std::string title = "Nuvra";  // the window keeps a pointer to it, not a copy
    MessageDialog dialog(title.c_str(), text);
    dialog.messageBox.align(textAlignment);
    dialog.okButton.callback(onMessageClose, &dialog);
    dialog.dialogWindow.callback(onMessageClose, &dialog);
    runModal(dialog.dialogWindow);
}

bool askConfirmation(UpdateRun& run, const std::string& text) {
    if (run.options.headless) {
        printLine(text);
        return true;
    }
    const std::string title = "Nuvra";
    ConfirmationDialog dialog(title.c_str(), text);
    dialog.messageBox.align(textAlignment);
    dialog.okButton.callback(onConfirmationOk, &dialog);
    dialog.cancelButton.callback(onConfirmationCancel, &dialog);
    dialog.dialogWindow.callback(onConfirmationCancel, &dialog);
    runModal(dialog.dialogWindow);
    return dialog.accepted;
}
