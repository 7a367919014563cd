#pragma once
#include <string>

struct UpdateRun;

// Shows `text` with an OK button and returns once the player dismissed it. Headless: writes the
// text and a line feed to standard output.
void showMessage(UpdateRun& run, const std::string& text);

// Asks with OK and Cancel; true for OK, false for Cancel, Escape or the close box. Headless:
// writes the text and a line feed to standard output and answers true.
bool askConfirmation(UpdateRun& run, const std::string& text);
