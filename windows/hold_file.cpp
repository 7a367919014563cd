// For the tests under wine: a second Windows program that holds a file open without sharing it,
// as a running game holds its own files, for the given milliseconds or until it is ended.
// Usage: hold_file FILE [MILLISECONDS]. Writes "held" on standard output once the file is open.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HANDLE handle = CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file: cannot open %s (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    Sleep(argc > 2 ? static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)) : INFINITE);
    CloseHandle(handle);
    return 0;
}
