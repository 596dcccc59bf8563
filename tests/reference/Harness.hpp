// Calling the library the way the reference is asked about it: with the
// caller's rounding direction set by fesetround just around the call, and
// with the x87 control word and MXCSR read on both sides of it.
#pragma once

#include "IntervalIteration.h"
#include "TestSupport.hpp"
#include "reference/Arithmetic.hpp"

#include <cfenv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace reference {

struct FpuControl {
    uint16_t X87ControlWord;
    uint32_t Mxcsr;
};

inline FpuControl ReadFpuControl() {
    FpuControl control;
    asm volatile("fnstcw %0" : "=m"(control.X87ControlWord) : : "memory");
    asm volatile("stmxcsr %0" : "=m"(control.Mxcsr) : : "memory");
    return control;
}

// The control fields a call must leave as it found them: the whole x87
// control word, and MXCSR without its exception flags (bits 0 to 5), which
// a computation may raise.
inline bool SameControl(const FpuControl& before, const FpuControl& after) {
    constexpr uint32_t kMxcsrFlags = 0x3F;
    return before.X87ControlWord == after.X87ControlWord &&
           (before.Mxcsr & ~kMxcsrFlags) == (after.Mxcsr & ~kMxcsrFlags);
}

// Raises a call's AbortFlag from another thread, as a host may, when the
// call runs longer than its budget, so that a library that iterates forever
// fails the test instead of hanging it. One thread serves every call.
class Watchdog {
public:
    Watchdog() : thread_([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

    void Arm(int32_t* abortFlag, std::chrono::milliseconds budget) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            flag_ = abortFlag;
            deadline_ = std::chrono::steady_clock::now() + budget;
            fired_ = false;
        }
        wake_.notify_all();
    }

    // True when the budget ran out and the flag was raised.
    bool Disarm() {
        std::lock_guard<std::mutex> lock(mutex_);
        flag_ = nullptr;
        return fired_;
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopping_) {
            if (flag_ == nullptr) {
                wake_.wait(lock);
                continue;
            }
            if (std::chrono::steady_clock::now() >= deadline_) {
                __atomic_store_n(flag_, 1, __ATOMIC_RELAXED);
                fired_ = true;
                flag_ = nullptr;
                continue;
            }
            wake_.wait_until(lock, deadline_);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    int32_t* flag_ = nullptr;
    std::chrono::steady_clock::time_point deadline_;
    bool fired_ = false;
    bool stopping_ = false;
    std::thread thread_;  // last: starts after the members it reads
};

struct HarnessCall {
    test::Call Call;
    FpuControl Before;  // as set for the call
    FpuControl After;   // right after the call returned
    bool TimedOut = false;  // the watchdog had to raise AbortFlag
};

// Runs IntervalIteration (or `entry`) with the caller's direction set just
// around the call. With a watchdog, AbortFlag is raised after `budget`.
inline HarnessCall RunInDirection(const test::Model& model, const IterationOptions& options,
                                  Direction direction, int32_t warnedFlag = 0,
                                  int32_t abortFlag = 0, Watchdog* watchdog = nullptr,
                                  std::chrono::milliseconds budget = std::chrono::seconds(10),
                                  test::EntryFunction entry = IntervalIteration) {
    HarnessCall harness;
    test::Call& call = harness.Call;
    call.IterationCount = test::kUntouchedCount;
    call.AchievedPrecision = test::kUntouchedPrecision;
    call.WarnedFlag = warnedFlag;
    test::MessageSink = &call.Messages;
    const SparseMdp mdp = model.Mdp();
    int32_t abort = abortFlag;
    if (watchdog != nullptr) {
        watchdog->Arm(&abort, budget);
    }

    const int callerDirection = std::fegetround();
    std::fesetround(FenvMacro(direction));
    harness.Before = ReadFpuControl();
    call.Result = entry(&mdp, &options, &call.IterationCount, &call.AchievedPrecision,
                        &call.WarnedFlag, test::CaptureMessage, &abort);
    harness.After = ReadFpuControl();
    std::fesetround(callerDirection);

    if (watchdog != nullptr) {
        harness.TimedOut = watchdog->Disarm();
    }
    test::MessageSink = nullptr;
    return harness;
}

}  // namespace reference
