#pragma once
#include <chrono>
#include <cstdint>
#include <string>

#include "transfer/download.h"

struct ProgressWindow;

// "<what>: 412 of 825 MB, 38 MB/s, 0:11 left". Without a total: "<what>: 412 MB, 38 MB/s"; the
// speed and the time left are left out while the speed is not yet known (0).
std::string byteProgressText(const std::string& what, std::uint64_t received,
                             std::uint64_t total, double bytesPerSecond);

// Turns a transfer's or an unpacking's byte counts into window progress for step `step` of
// `total`, labelled `what` (with bytes and speed when `withSpeed`), at most ten a second (the
// last count of a known total always goes through). Nothing without a window (headless):
// standard output keeps its step lines only.
ByteProgress windowByteProgress(ProgressWindow* window, int step, int total,
                                const std::string& what, bool withSpeed);

// Shows a download's retry waits in the window's bar text, the bar at the start of step `step` of
// `total` (the next attempt reports its bytes afresh). Nothing without a window (headless):
// standard error has its own notes.
RetryProgress windowRetryProgress(ProgressWindow* window, int step, int total);
