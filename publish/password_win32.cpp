#include <windows.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "publish/password.h"

std::string readPassword(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    const bool console = input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &saved) != 0;
    if (console) SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    std::string line;
    const bool read = static_cast<bool>(std::getline(std::cin, line));
    if (console) {
        SetConsoleMode(input, saved);
        std::fputs("\n", stderr);  // the admin's Enter was not echoed
    }
    if (!read) throw std::runtime_error("No password given");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}
