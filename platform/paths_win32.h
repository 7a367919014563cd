#pragma once
// Windows only: what pathFromText and textFromPath read to choose their code page, and the form
// in which paths reach the system.
#include <filesystem>
#include <string>

// The inputs of the code-page choice, asked anew at every conversion. Tests swap in their own
// answers for those a machine cannot be made to give (the old C runtime never reports a UTF-8
// locale, and no machine uses a code page that refuses the strict flags); the program never
// changes them.
struct CodePageQueries {
    bool (*localeUsesUtf8)();  // the C runtime's current locale uses UTF-8
    bool (*fileApisAreAnsi)();
    unsigned (*ansiCodePage)();
    unsigned (*oemCodePage)();
};

// The queries in effect; by default the C runtime's and the system's own.
extern CodePageQueries codePageQueries;

// UTF-8 (65001) when the locale uses UTF-8, else the ANSI code page when the file interfaces are
// in ANSI mode, else the OEM code page.
unsigned fileSystemCodePage();

// The path as the system calls take it. Windows refuses a path of about MAX_PATH characters or
// more unless it is in the extended-length form ("\\?\C:\...", "\\?\UNC\..."), which the system
// takes as written: without folding "/", "." and "..", or dropping trailing dots and blanks. So a
// long path is first made absolute and folded by the ordinary rules, and reaches the file its
// short spelling would reach; a short path is given as it is.
std::wstring systemPath(const std::filesystem::path& path);
