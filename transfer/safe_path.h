#pragma once
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The longest name taken, in the native path's code units.
constexpr std::size_t longestPathName = 32767;

// The name as a clean relative path, or nothing when it could reach outside whatever folder it is
// joined to: an empty name, an absolute name or one with a root name, a ".." component, a NUL, a
// component that the platform would not take as written (isReservedOrAlteredName), a name
// that is the folder itself, or one longer than longestPathName. Empty and "." components and
// trailing separators are dropped. Looks at the text only; safeTargetPath also resolves links.
std::optional<std::filesystem::path> cleanRelativeName(const std::string& name);

// The path under `root` that a server-given name stands for, refused when cleanRelativeName
// refuses it or when its folder resolves (links followed) outside the canonical root. Raises
// runtime_error "Refusing unsafe path for modpak <n>: <name>". The result never ends in a
// separator.
std::filesystem::path safeTargetPath(const std::filesystem::path& root, const std::string& name,
                                     std::int32_t modPakNum);
