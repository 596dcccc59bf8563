// Progress on stderr for long runs: a line that the phases of reading and
// precomputing update, and that the iteration's watcher (Run.cpp) updates
// with the elapsed time, the rate, the half-width and an estimate of the
// time left. On a terminal it is one line rewritten in place, elsewhere a
// line now and then. Messages printed meanwhile clear it first.
//
// Nothing is shown until ShowProgress(true), and a phase shows its line
// only once it has run for a second.
#pragma once

#include "support/Interrupt.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace iicheck {

void ShowProgress(bool shown);

// A phase of the work ("reading", "precomputing") while this object lives;
// phases nest, the innermost is shown. Its destructor clears the line.
class ProgressPhase {
public:
    explicit ProgressPhase(const char* name);
    ~ProgressPhase();
    ProgressPhase(const ProgressPhase&) = delete;
    ProgressPhase& operator=(const ProgressPhase&) = delete;

private:
    const ProgressPhase* outer_;
    const char* name_;
    double start_;
    friend void ReportProgress(uint64_t, uint64_t, const char*);
};

// How far the current phase has come: done of total units ("bytes" are
// shown in MB; a total of 0 shows the elapsed time only). Cheap when nothing
// is shown; meant to be called beside an interrupt poll.
void ReportProgress(uint64_t done, uint64_t total, const char* unit);

// PollInterrupt(counter, phase), and every 65536 steps ReportProgress.
inline void PollWithProgress(uint64_t counter, const char* phase, uint64_t done, uint64_t total,
                             const char* unit) {
    if ((counter & 0xFFFF) == 0) {
        if (InterruptRequested()) throw Interrupted(phase);
        ReportProgress(done, total, unit);
    }
}

// The progress line, rewritten (terminal) or printed as a line (else).
void WriteProgressLine(const std::string& text);
// A message on a line of its own, after clearing the progress line.
void WriteMessageLine(const std::string& text);
// Clears the progress line if one is shown on a terminal.
void ClearProgressLine();

// "0.4 s", "12 s", "3 min 05 s", "2 h 03 min"
std::string Duration(double seconds);

// One look at a running iteration.
struct ProgressSample {
    double Seconds = 0;      // since the run started
    int64_t Iterations = 0;
    double Precision = 0;    // the library's AchievedPrecision
};

// The seconds the iteration needs until the precision reaches epsilon,
// estimated from recent samples (oldest first): log(precision) fitted
// linearly against the iterations gives the iterations still needed, the
// samples' rate their time. NaN when that cannot be told: fewer than three
// samples over at least two iteration counts, a precision that does not
// fall, or an epsilon of 0 (the run then ends only at a fixed point).
double SecondsLeft(const std::vector<ProgressSample>& recent, double epsilon);

}  // namespace iicheck
