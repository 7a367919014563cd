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

std::string thrownMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}

std::string readFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return "";
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}
