#pragma once
#include <string>

// Shows `prompt` on standard error and reads one line from standard input, without echo when it
// is a terminal (console). Raises "No password given" at the end of input.
std::string readPassword(const std::string& prompt);
