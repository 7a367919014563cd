#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

// The name as a clean relative path, or nothing when it could reach outside whatever folder it is
// joined to: an empty name, an absolute name or one with a root name, a ".." component, a NUL, a
// component that the platform would not take as written (isReservedOrAlteredName), or a name
// that is the folder itself. Empty and "." components and trailing separators are dropped.
// Looks at the text only; safeTargetPath also resolves links.
std::optional<std::filesystem::path> cleanRelativeName(const std::string& name);

// The path under `root` that a server-given name stands for, refused when cleanRelativeName
// refuses it or when its folder resolves (links followed) outside the canonical root. Raises
// runtime_error "Refusing unsafe path for modpak <n>: <name>". The result never ends in a
// separator.
std::filesystem::path safeTargetPath(const std::filesystem::path& root, const std::string& name,
                                     std::int32_t modPakNum);
