#include <cstdio>

// Writes its arguments one per line, in brackets, so blanks and empty arguments stay visible.
int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) std::printf("[%s]\n", argv[i]);
    return argc;
}
