#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include "manifest/records.h"
#include "transfer/download.h"

struct ProgressWindow;

// What the process was asked to do besides updating: check the installed files, or check and
// repair them.
enum class FileCheck { none, verify, repair };

// How the process was started: the game folder, the local mirror folder that replaces the server's
// downloads when given, whether the run has a window, and whether it checks the installed files.
struct LaunchOptions {
    std::filesystem::path root;
    std::optional<std::filesystem::path> sourceDir;
    bool headless = false;
    FileCheck fileCheck = FileCheck::none;
};

// The state of the one update run of the process. Members are destroyed in reverse order, so the
// window goes first and libcurl is cleaned up after every list.
struct UpdateRun {
    explicit UpdateRun(LaunchOptions launchOptions);
    ~UpdateRun();
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    LaunchOptions options;
    std::filesystem::path rootDir;
    UpdaterConfig config;
    DownloadClient downloader;
    std::vector<ModpakEntry> localModpaks;
    std::vector<ModpakEntry> remoteModpaks;
    std::vector<ModpakPromise> remotePromises;  // of remoteModpaks' entries, in the same order
    std::vector<FileEntry> fileEntries;
    std::optional<PublicKey> pinnedKey;  // none: the server's files are read unsigned
    std::uint64_t signedSequence = 0;    // the sequence of the server files verified so far
    std::string signedSequenceFile;      // the first server file verified; empty before it
    std::unique_ptr<ProgressWindow> window;
    int exitStatus = 0;
};
