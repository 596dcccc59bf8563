#include "support/Progress.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace iicheck {
namespace {

// Guards stderr between the main thread and the iteration's watcher.
std::mutex gOutput;
bool gShown = false;
bool gOnLine = false;  // a progress line stands on the terminal, unfinished
const ProgressPhase* gPhase = nullptr;
double gLastShown = 0;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool Terminal() {
    static const bool terminal = ::isatty(STDERR_FILENO) != 0;
    return terminal;
}

void ClearLocked() {
    if (!gOnLine) return;
    std::fputs("\r\033[K", stderr);
    gOnLine = false;
}

}  // namespace

void ShowProgress(bool shown) { gShown = shown; }

ProgressPhase::ProgressPhase(const char* name) : outer_(gPhase), name_(name), start_(Now()) {
    gPhase = this;
}

ProgressPhase::~ProgressPhase() {
    gPhase = outer_;
    ClearProgressLine();
}

void ReportProgress(uint64_t done, uint64_t total, const char* unit) {
    if (!gShown || gPhase == nullptr) return;
    const double now = Now();
    if (now - gPhase->start_ < 1 || now - gLastShown < (Terminal() ? 0.25 : 1.0)) return;
    gLastShown = now;
    std::string text = std::string("iicheck: ") + gPhase->name_ + ", " + Duration(now - gPhase->start_);
    if (total != 0) {
        const bool bytes = std::string(unit) == "bytes";
        char amount[96];
        std::snprintf(amount, sizeof amount, ", %llu of %llu %s (%.0f%%)",
                      static_cast<unsigned long long>(bytes ? done / 1000000 : done),
                      static_cast<unsigned long long>(bytes ? total / 1000000 : total),
                      bytes ? "MB" : unit, 100.0 * static_cast<double>(done) / static_cast<double>(total));
        text += amount;
    }
    WriteProgressLine(text);
}

void WriteProgressLine(const std::string& text) {
    const std::lock_guard<std::mutex> lock(gOutput);
    if (Terminal()) {
        std::fputs(("\r\033[K" + text).c_str(), stderr);
        gOnLine = true;
    } else {
        std::fputs((text + "\n").c_str(), stderr);
    }
    std::fflush(stderr);
}

void WriteMessageLine(const std::string& text) {
    const std::lock_guard<std::mutex> lock(gOutput);
    ClearLocked();
    std::fputs((text + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void ClearProgressLine() {
    const std::lock_guard<std::mutex> lock(gOutput);
    ClearLocked();
    std::fflush(stderr);
}

std::string Duration(double seconds) {
    char text[48];
    if (seconds < 10) {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    } else if (seconds < 60) {
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    } else if (seconds < 3600) {
        const long whole = std::lround(seconds);
        std::snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    } else {
        const double minutes = std::round(seconds / 60);
        std::snprintf(text, sizeof text, "%.0f h %02.0f min", std::floor(minutes / 60),
                      std::fmod(minutes, 60));
    }
    return text;
}

double SecondsLeft(const std::vector<ProgressSample>& recent, double epsilon) {
    std::vector<ProgressSample> valid;
    for (const ProgressSample& sample : recent) {
        if (sample.Precision > 0 && std::isfinite(sample.Precision)) valid.push_back(sample);
    }
    if (!valid.empty() && valid.back().Precision <= epsilon) return 0;
    if (valid.size() < 3 || !(epsilon > 0) || valid.back().Iterations == valid.front().Iterations ||
        !(valid.back().Seconds > valid.front().Seconds)) {
        return NAN;
    }
    // Least squares of log(precision) against the iterations, about their
    // means.
    double meanX = 0, meanY = 0;
    for (const ProgressSample& sample : valid) {
        meanX += static_cast<double>(sample.Iterations - valid.front().Iterations);
        meanY += std::log(sample.Precision);
    }
    meanX /= static_cast<double>(valid.size());
    meanY /= static_cast<double>(valid.size());
    double sxx = 0, sxy = 0;
    for (const ProgressSample& sample : valid) {
        const double dx = static_cast<double>(sample.Iterations - valid.front().Iterations) - meanX;
        sxx += dx * dx;
        sxy += dx * (std::log(sample.Precision) - meanY);
    }
    const double slope = sxy / sxx;
    if (!(slope < 0)) return NAN;
    const double iterations = (std::log(epsilon) - std::log(valid.back().Precision)) / slope;
    const double rate = static_cast<double>(valid.back().Iterations - valid.front().Iterations) /
                        (valid.back().Seconds - valid.front().Seconds);
    return iterations / rate;
}

}  // namespace iicheck
