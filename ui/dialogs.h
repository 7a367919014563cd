#pragma once
#include <string>

// Shows `text` with an OK button and returns once the player dismissed it. Headless: writes the
// text and a line feed to standard output.
void showMessage(bool headless, const std::string& text);

// Asks with OK and Cancel; true for OK, false for Cancel, Escape or the close box. Headless:
// writes the text and a line feed to standard output and answers true.
bool askConfirmation(bool headless, const std::string& text);

// Window only: asks with Retry and Cancel; true for Retry, false for Cancel, Escape or the close
// box.
bool askRetryOrCancel(const std::string& text);
