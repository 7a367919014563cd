#pragma once

// The updater's own version: rewritten into "nuvraconfig.json", compared with the server's, and
// spelled in the download user agent. CMake reads the project's version from this line.
inline constexpr double updaterVersion = 6.0;
