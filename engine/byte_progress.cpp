#include "engine/byte_progress.h"

#include <cstdio>
#include <memory>

#include "ui/notifications.h"

namespace {

using Clock = std::chrono::steady_clock;

// Sizes in the units players see on download pages: decimal kB, MB and GB.
std::string amount(std::uint64_t bytes, std::uint64_t scaleOf) {
    if (scaleOf >= 1000000000ULL) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e9);
        return text;
    }
    return std::to_string(scaleOf >= 1000000 ? bytes / 1000000 : bytes / 1000);
}

const char* unit(std::uint64_t scaleOf) {
    return scaleOf >= 1000000000ULL ? "GB" : scaleOf >= 1000000 ? "MB" : "kB";
}

std::string duration(std::uint64_t seconds) {
    char text[32];
    if (seconds >= 3600)
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu",
                      static_cast<unsigned long long>(seconds / 3600),
                      static_cast<unsigned long long>(seconds / 60 % 60),
                      static_cast<unsigned long long>(seconds % 60));
    else
        std::snprintf(text, sizeof text, "%llu:%02llu",
                      static_cast<unsigned long long>(seconds / 60),
                      static_cast<unsigned long long>(seconds % 60));
    return text;
}

struct Pacer {
    ProgressWindow* window = nullptr;
    int step = 0;
    int total = 0;
    std::string what;
    bool withSpeed = false;
    bool started = false;
    Clock::time_point start;
    Clock::time_point last;
    std::uint64_t startBytes = 0;  // bytes already in hand when counting began (a resumed part)
};

// Ten a second is as fast as a player can read, and keeps the toolkit's queue mostly free.
constexpr auto reportInterval = std::chrono::milliseconds(100);
// A speed measured over less than this is noise.
constexpr double shortestMeasure = 0.5;

}  // namespace

std::string byteProgressText(const std::string& what, std::uint64_t received,
                             std::uint64_t total, double bytesPerSecond) {
    const std::uint64_t scale = total > 0 ? total : received;
    std::string text = what + ": " + amount(received, scale);
    if (total > 0) text += " of " + amount(total, scale);
    text += std::string(" ") + unit(scale);
    if (bytesPerSecond <= 0) return text;
    const auto speed = static_cast<std::uint64_t>(bytesPerSecond);
    text += ", " + amount(speed, speed) + " " + unit(speed) + "/s";
    if (total > received)
        text += ", " +
                duration(static_cast<std::uint64_t>(static_cast<double>(total - received) /
                                                    bytesPerSecond +
                                                    0.5)) +
                " left";
    return text;
}

ByteProgress windowByteProgress(ProgressWindow* window, int step, int total,
                                const std::string& what, bool withSpeed) {
    if (!window) return nullptr;
    auto pacer = std::make_shared<Pacer>();
    pacer->window = window;
    pacer->step = step;
    pacer->total = total;
    pacer->what = what;
    pacer->withSpeed = withSpeed;
    return [pacer](std::uint64_t received, std::uint64_t whole) {
        const Clock::time_point now = Clock::now();
        // A transfer that starts over from its first byte starts its speed afresh too.
        if (!pacer->started || received < pacer->startBytes) {
            pacer->started = true;
            pacer->start = now;
            pacer->startBytes = received;
        } else if (now - pacer->last < reportInterval && !(whole > 0 && received == whole)) {
            return;
        }
        pacer->last = now;
        ProgressReport report{pacer->step, pacer->total, pacer->what};
        if (whole > 0)
            report.fraction = static_cast<double>(received) / static_cast<double>(whole);
        if (pacer->withSpeed) {
            const double seconds = std::chrono::duration<double>(now - pacer->start).count();
            const double speed =
                seconds >= shortestMeasure
                    ? static_cast<double>(received - pacer->startBytes) / seconds
                    : 0;
            report.text = byteProgressText(pacer->what, received, whole, speed);
        }
        reportStepProgress(pacer->window, report);
    };
}

RetryProgress windowRetryProgress(ProgressWindow* window, int step, int total) {
    if (!window) return nullptr;
    return [window, step, total](const std::string& text) {
        reportStepProgress(window, {step, total, text});
    };
}
