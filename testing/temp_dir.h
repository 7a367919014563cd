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

// While it exists, the calling thread is denied what lets root ignore file modes (its
// capabilities to override permission checks and file ownership), so a test of an unwritable
// folder means the same when the suite runs as root, as CI does. Elsewhere it does nothing.
struct WithoutPermissionOverride {
    WithoutPermissionOverride();
    ~WithoutPermissionOverride();
    WithoutPermissionOverride(const WithoutPermissionOverride&) = delete;
    WithoutPermissionOverride& operator=(const WithoutPermissionOverride&) = delete;

    unsigned int savedEffective = 0;  // the effective set's first 32 capabilities, restored after
};

// The what() of the exception `action` throws, or "" when it throws nothing.
std::string thrownMessage(const std::function<void()>& action);

// Whole-file helpers for tests; they fail the test (ADD_FAILURE) on I/O errors.
std::string readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::string& bytes);
