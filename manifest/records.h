#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/version.h"

struct UpdaterConfig {
    std::string os;
    double nuvraVersion = 0.0;
    std::string url;  // base address; file names are appended with no separator
};

struct ModpakEntry {
    std::int32_t modPakNum = 0;
    std::string name;  // path relative to the root folder and suffix of the download URL
};

// What the server's manifest promises about a modpak's file, when it says so. Kept beside the
// entry, never in it: neither is part of the modpak's identity nor written to the local manifest.
struct ModpakPromise {
    std::optional<std::uint64_t> size;
    std::string sha256;  // 64 hex digits as the server wrote them, or empty
};

// One object of the server's modpak manifest.
struct RemoteModpak {
    ModpakEntry entry;
    ModpakPromise promise;
};

struct FileEntry {
    std::int32_t modPakNum = 0;
    std::string name;  // path relative to the root folder
    bool isDirectory = false;
};

// A minisign public key: the Ed25519 key and the 8-byte id that each signature names.
struct PublicKey {
    std::array<unsigned char, 8> keyId{};
    std::array<unsigned char, 32> key{};
};
