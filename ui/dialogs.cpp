#include "ui/dialogs.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Return_Button.H>
#include <FL/Fl_Scroll.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr Fl_Align textAlignment = FL_ALIGN_LEFT | FL_ALIGN_INSIDE | FL_ALIGN_WRAP;
constexpr int textX = 20;
constexpr int textY = 20;
constexpr int textWidth = 420;
constexpr int shortTextHeight = 70;
constexpr int belowText = 80;  // from the text's bottom to the window's: the buttons and margins

void printLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// The toolkit draws a left-aligned label 3 pixels in from either side of its box.
int lineWidth(int boxWidth) { return boxWidth - 6; }

double textWidthOf(const std::string& text) {
    return fl_width(text.data(), static_cast<int>(text.size()));
}

// How many bytes of `text` fit in `width`, whole characters only and at least one.
size_t fittingLength(const std::string& text, int width) {
    size_t fits = 0;
    for (size_t end = 0; end < text.size();) {
        size_t next = end + 1;
        while (next < text.size() && (static_cast<unsigned char>(text[next]) & 0xC0) == 0x80)
            ++next;  // a UTF-8 continuation byte
        if (fits > 0 && fl_width(text.data(), static_cast<int>(next)) > width) break;
        fits = next;
        end = next;
    }
    return fits;
}

// `text` cut into lines no wider than `width` within the word that starts at `wordStart`: after
// the last '/' or '\' that fits, so that a path breaks between its folders, else after the last
// whole character that fits. Empty when nothing of the word fits beside what comes before it.
std::vector<std::string> cutToWidth(std::string text, size_t wordStart, int width) {
    std::vector<std::string> lines;
    while (textWidthOf(text) > width) {
        const size_t fits = fittingLength(text, width);
        const size_t separator = text.find_last_of("/\\", fits - 1);
        const size_t cut =
            separator != std::string::npos && separator > wordStart ? separator + 1 : fits;
        if (cut <= wordStart) return {};
        lines.push_back(text.substr(0, cut));
        text.erase(0, cut);
        wordStart = 0;
    }
    lines.push_back(text);
    return lines;
}

// `text` broken into lines no wider than `width` in the current font: at spaces, as the toolkit
// wraps, and within a word that no line can hold, which the toolkit would let run past the box.
std::string breakLines(const std::string& text, int width) {
    std::string lines;
    std::string line;
    bool started = false;  // `line` holds a word, perhaps an empty one between two spaces
    for (size_t at = 0;;) {
        const size_t end = text.find_first_of(" \n", at);
        const std::string word = text.substr(at, end == std::string::npos ? end : end - at);
        const std::string joined = started ? line + ' ' + word : word;
        if (textWidthOf(joined) <= width) {
            line = joined;
        } else if (textWidthOf(word) <= width) {
            lines += line + '\n';
            line = word;
        } else {
            // Such a word starts beside what comes before it only when that saves a line.
            std::vector<std::string> pieces = cutToWidth(word, 0, width);
            if (started) {
                std::vector<std::string> beside = cutToWidth(joined, line.size() + 1, width);
                if (!beside.empty() && beside.size() < pieces.size() + 1)
                    pieces = std::move(beside);
                else
                    lines += line + '\n';
            }
            for (size_t i = 0; i + 1 < pieces.size(); ++i) lines += pieces[i] + '\n';
            line = pieces.back();
        }
        started = true;
        if (end == std::string::npos) break;
        if (text[end] == '\n') {
            lines += line + '\n';
            line.clear();
            started = false;
        }
        at = end + 1;
    }
    return lines + line;
}

// In a label the toolkit takes '@' for the start of a symbol's name and drops the rest of the
// text; "@@" draws one '@'.
std::string withSymbolsEscaped(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        escaped += c;
        if (c == '@') escaped += '@';
    }
    return escaped;
}

struct TextSize {
    int w = 0;
    int h = 0;
};

// The room `label` takes wrapped in a box `boxWidth` wide.
TextSize measured(const char* label, int boxWidth) {
    TextSize size{lineWidth(boxWidth), 0};
    fl_measure(label, size.w, size.h);
    return size;
}

// Where a dialog's text and buttons go. The defaults are the layout of a text that fits as the
// caller wrote it.
struct DialogLayout {
    std::string label;  // the text broken into lines, as drawn; empty: the caller's text as it is
    int viewHeight = shortTextHeight;  // the window's area for the text
    int boxWidth = textWidth;
    int boxHeight = shortTextHeight;  // taller than the view when the view scrolls
};

int windowHeight(const DialogLayout& layout) { return textY + layout.viewHeight + belowText; }
int buttonY(const DialogLayout& layout) { return textY + layout.viewHeight + 25; }

// A text too long for the box grows the window up to two thirds of the screen's work area; one
// longer still scrolls inside that.
DialogLayout layOut(const std::string& text) {
    int screenX = 0, screenY = 0, screenW = 0, screenH = 0;
    // Asking for the work area opens the display, which measuring text needs before any window
    // is shown (the function that opens it directly is not public on every platform).
    Fl::screen_work_area(screenX, screenY, screenW, screenH);
    fl_font(FL_HELVETICA, FL_NORMAL_SIZE);  // the box's label font
    int tallestView = screenH * 2 / 3 - textY - belowText;
    if (tallestView < shortTextHeight) tallestView = shortTextHeight;
    DialogLayout layout;
    if (text.find('@') == std::string::npos) {
        const TextSize size = measured(text.c_str(), textWidth);
        if (size.w <= lineWidth(textWidth) && size.h <= shortTextHeight) return layout;
    }
    layout.label = withSymbolsEscaped(breakLines(text, lineWidth(textWidth)));
    int height = measured(layout.label.c_str(), textWidth).h;
    if (height > tallestView) {
        layout.boxWidth = textWidth - Fl::scrollbar_size();
        layout.label = withSymbolsEscaped(breakLines(text, lineWidth(layout.boxWidth)));
        height = measured(layout.label.c_str(), layout.boxWidth).h;
    }
    layout.boxHeight = height > shortTextHeight ? height : shortTextHeight;
    layout.viewHeight = std::clamp(height, shortTextHeight, tallestView);
    return layout;
}

// Members in this order so that they are destroyed buttons first, then the box, the view that may
// hold it, and the window last: each leaves its group as it goes, and a group deletes the children
// it still has.
struct MessageDialog {
    MessageDialog(const char* title, const DialogLayout& layout, const std::string& text)
        : dialogWindow(460, windowHeight(layout), title),
          messageBox(textX, textY, layout.boxWidth, layout.boxHeight, text.c_str()),
          okButton(170, buttonY(layout), 120, 32, "OK") {}

    Fl_Double_Window dialogWindow;
    std::optional<Fl_Scroll> textView;
    Fl_Box messageBox;
    Fl_Return_Button okButton;
};

struct ConfirmationDialog {
    ConfirmationDialog(const char* title, const DialogLayout& layout, const std::string& text)
        : dialogWindow(460, windowHeight(layout), title),
          messageBox(textX, textY, layout.boxWidth, layout.boxHeight, text.c_str()),
          okButton(70, buttonY(layout), 120, 32, "OK"),
          cancelButton(270, buttonY(layout), 120, 32, "Cancel") {}

    Fl_Double_Window dialogWindow;
    std::optional<Fl_Scroll> textView;
    Fl_Box messageBox;
    Fl_Return_Button okButton;
    Fl_Button cancelButton;
    bool accepted = false;
};

// Gives the box its label and, when the text is taller than the window's area for it, moves the
// box into a view that scrolls, in the box's place among the window's children.
void placeText(Fl_Double_Window& window, std::optional<Fl_Scroll>& view, Fl_Box& box,
               const DialogLayout& layout) {
    box.align(textAlignment);
    if (!layout.label.empty()) box.copy_label(layout.label.c_str());
    if (layout.boxHeight <= layout.viewHeight) return;
    view.emplace(textX, textY, textWidth, layout.viewHeight);
    view->type(Fl_Scroll::VERTICAL);
    view->add(box);
    view->end();
    window.insert(*view, 0);
}

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

// OK (or `okLabel`) and Cancel; true for the first.
bool askWithCancel(const std::string& text, const char* okLabel) {
    const std::string title = "Nuvra";
    const DialogLayout layout = layOut(text);
    ConfirmationDialog dialog(title.c_str(), layout, text);
    if (okLabel) dialog.okButton.label(okLabel);
    placeText(dialog.dialogWindow, dialog.textView, dialog.messageBox, layout);
    dialog.okButton.callback(onConfirmationOk, &dialog);
    dialog.cancelButton.callback(onConfirmationCancel, &dialog);
    dialog.dialogWindow.callback(onConfirmationCancel, &dialog);
    runModal(dialog.dialogWindow);
    return dialog.accepted;
}

}  // namespace

void showMessage(bool headless, const std::string& text) {
    if (headless) {
        printLine(text);
        return;
    }
    const std::string title = "Nuvra";  // the window keeps a pointer to it, not a copy
    const DialogLayout layout = layOut(text);
    MessageDialog dialog(title.c_str(), layout, text);
    placeText(dialog.dialogWindow, dialog.textView, dialog.messageBox, layout);
    dialog.okButton.callback(onMessageClose, &dialog);
    dialog.dialogWindow.callback(onMessageClose, &dialog);
    runModal(dialog.dialogWindow);
}

bool askConfirmation(bool headless, const std::string& text) {
    if (headless) {
        printLine(text);
        return true;
    }
    return askWithCancel(text, nullptr);
}

bool askRetryOrCancel(const std::string& text) { return askWithCancel(text, "Retry"); }
