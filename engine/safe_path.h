#pragma once
#include <cstdint>
#include <filesystem>
#include <string>

// The path under `root` that a server-given name stands for, refused when it could reach outside:
// an empty name, an absolute name or one with a root name, a ".." component, a component that
// the platform would not take as written (isReservedOrAlteredName), a name that is the root itself, or one whose folder resolves (links followed) outside the canonical root. Raises
// runtime_error "Refusing unsafe path for modpak <n>: <name>". Empty and "." components and
// trailing separators are dropped, so the result never ends in a separator.
std::filesystem::path safeTargetPath(const std::filesystem::path& root, const std::string& name,
                                     std::int32_t modPakNum);
