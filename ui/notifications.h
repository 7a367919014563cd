#pragma once
#include <cstdint>
#include <string>

struct ProgressWindow;
struct UpdateRun;

struct ProgressReport {
    std::int32_t current = 0;
    std::int32_t total = 0;
    std::string text;
    double fraction = 0;  // of the step from current to current + 1 done, 0 to 1 (window only)
};

// Shows `report` on the window's bar. UI thread only, with the window's mutex held.
void showProgress(ProgressWindow& window, const ProgressReport& report);

// Headless: "[current/total] text" on standard output. Window: posted to the UI thread (may be
// dropped when the toolkit's queue is full; the next report supersedes it).
void reportProgress(UpdateRun& run, const ProgressReport& report);

// Window only, like reportProgress's window side (may be dropped): the bar at current + fraction.
// Headless: nothing, so that standard output keeps its step lines alone.
void reportStepProgress(UpdateRun& run, const ProgressReport& report);

// Headless: the text on standard output, exit status 0. Window: always delivered to the UI thread,
// which shows it and ends the process.
void reportCompletion(UpdateRun& run, const std::string& text);

// "Nuvra Updater error: <text>" on standard error, then headless: the text on standard output and
// exit status 1; window: always delivered to the UI thread, which shows it and re-enables Start.
void reportFailure(UpdateRun& run, const std::string& text);
