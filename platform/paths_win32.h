#pragma once
// Windows only: what pathFromText and textFromPath read to choose their code page.

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
