#pragma once
#include <sys/types.h>

#include <string>

// A private X server (Xvfb) for tests that open windows, on a display number that Xvfb picks
// itself (-displayfd), so parallel tests never collide. Construction returns once the server
// accepts clients; destruction stops it. When Xvfb is missing or does not start, `display` stays
// empty and the test is expected to skip.
struct XvfbServer {
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    std::string display;  // ":N"
    pid_t pid = -1;
};
