#include "ui/process_exit.h"

#include <cstdio>
#include <cstdlib>

void endProcess(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::quick_exit(status);
}
