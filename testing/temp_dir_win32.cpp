#include <gtest/gtest.h>
#include <windows.h>

#include <exception>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <system_error>

#include "testing/temp_dir.h"

namespace fs = std::filesystem;

// The C runtime here has no mkdtemp: a random name is tried until CreateDirectoryW makes it.
TempDir::TempDir() {
    std::random_device seed;
    std::mt19937_64 random(seed());
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path candidate = base / ("nuvra-test-" + std::to_string(random() % 1000000000000));
        if (CreateDirectoryW(candidate.c_str(), nullptr)) {
            dir = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                            "CreateDirectoryW");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

// Windows has no capability that overrides a read-only folder's mode as root's does.
WithoutPermissionOverride::WithoutPermissionOverride() = default;
WithoutPermissionOverride::~WithoutPermissionOverride() = default;
