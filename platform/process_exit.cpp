#include "platform/process_exit.h"

#include <cstdio>
#include <cstdlib>

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    // _Exit rather than quick_exit: no handlers are registered, and the older Windows C runtime
    // has no quick_exit.
    std::_Exit(status);
}
