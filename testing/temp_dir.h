#pragma once
#include <filesystem>
#include <functional>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it afterwards.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return dir; }

    std::filesystem::path dir;
};

// The what() of the exception `action` throws, or "" when it throws nothing.
std::string thrownMessage(const std::function<void()>& action);

// Whole-file helpers for tests; they fail the test (ADD_FAILURE) on I/O errors.
std::string readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::string& bytes);
