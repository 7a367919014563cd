#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct ProgressWindow;

struct ProgressReport {
    std::int32_t current = 0;
    std::int32_t total = 0;
    std::string text;
    double fraction = 0;  // of the step from current to current + 1 done, 0 to 1 (window only)
};

// Shows `report` on the window's bar. UI thread only, with the window's mutex held.
void showProgress(ProgressWindow& window, const ProgressReport& report);

// The worker's side of the notices below: `window` is the run's progress window, null when the
// run is headless. The window outlives every notice posted to it (it lives until the process
// ends).

// Headless: "[current/total] text" on standard output. Window: posted to the UI thread (may be
// dropped when the toolkit's queue is full; the next report supersedes it).
void reportProgress(ProgressWindow* window, const ProgressReport& report);

// Window only, like reportProgress's window side (may be dropped): the bar at current + fraction.
// Headless: nothing, so that standard output keeps its step lines alone.
void reportStepProgress(ProgressWindow* window, const ProgressReport& report);

// Headless: the text on standard output. Window: always delivered to the UI thread, which shows
// it and ends the process with status 0.
void reportCompletion(ProgressWindow* window, const std::string& text);

// "Nuvra Updater error: <text>" on standard error, then headless: the text on standard output;
// window: always delivered to the UI thread, which shows it and re-enables Start.
void reportFailure(ProgressWindow* window, const std::string& text);

// Headless: false at once, writing nothing (the caller's failure says it). Window: asks `text`
// with Retry and Cancel on the UI thread and waits for the player's answer; true for Retry.
bool askRetry(ProgressWindow* window, const std::string& text);

// Window only, always delivered to the UI thread: shows `status`, relabels the window's button
// `buttonLabel`, makes `onClick` what it does and makes it usable again. For a window whose work
// comes in steps that the player chooses one after the other.
void offerNextStep(ProgressWindow& window, const std::string& status,
                   const std::string& buttonLabel, std::function<void()> onClick);
