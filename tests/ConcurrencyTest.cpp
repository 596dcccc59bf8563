// Many callers at once: calls on different threads, each with its own
// floating-point state, give exactly the results of the same calls made one
// at a time, and each thread gets its own state back. An abort raised from
// another thread stops a run at the next poll.
#include "IntervalIteration.h"
#include "TestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cfenv>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using test::Fraction;
using test::ReadControlWord;
using test::ReadMxcsr;
using test::WriteControlWord;
using test::WriteMxcsr;
using test::ReadStatusWord;
using test::Stored;


// A gambler's ruin over 40 positions with fair and unfair choices.
test::Model Ruin() {
    const uint64_t n = 40;
    std::vector<test::StateChoices> states(n + 1);
    for (uint64_t p = 1; p < n; ++p) {
        states[p] = {{Stored(p + 1, 0.5), Stored(p - 1, 0.5)},
                     {Fraction(p + 1, 1, 3), Fraction(p - 1, 2, 3)}};
    }
    // State 0 is ruin... the start must be state 0: swap positions 0 and 7.
    std::swap(states[0], states[7]);
    for (test::StateChoices& choices : states) {
        for (test::Choice& choice : choices) {
            for (test::Transition& t : choice) {
                t.Target = t.Target == 0 ? 7 : t.Target == 7 ? 0 : t.Target;
            }
        }
    }
    return test::MakeModel(states, {n}, {7});
}

struct Job {
    test::Variant Variant;
    bool Sequential;
    bool Maximize;
};

bool SameBits(const test::Call& a, const test::Call& b) {
    return test::Bits(a.Result.Lower) == test::Bits(b.Result.Lower) &&
           test::Bits(a.Result.Upper) == test::Bits(b.Result.Upper) &&
           a.Result.Status == b.Result.Status && a.IterationCount == b.IterationCount &&
           test::Bits(a.AchievedPrecision) == test::Bits(b.AchievedPrecision);
}

TEST(Concurrency, ParallelCallsMatchCallsMadeOneAtATime) {
    const test::Model model = Ruin();
    const int directions[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
    std::vector<Job> jobs;
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (bool sequential : {true, false}) {
            for (bool maximize : {true, false}) {
                jobs.push_back({variant, sequential, maximize});
            }
        }
    }
    // Expected results, one call at a time, in each direction.
    std::vector<std::vector<test::Call>> expected(4);
    for (int d = 0; d < 4; ++d) {
        for (const Job& job : jobs) {
            std::fesetround(directions[d]);
            expected[d].push_back(test::Run(
                model, test::MakeOptions(job.Variant, job.Sequential, 1e-9, job.Maximize)));
            std::fesetround(FE_TONEAREST);
        }
    }

    constexpr int kThreads = 8;
    constexpr int kRounds = 3;
    std::atomic<int> mismatches{0};
    std::atomic<int> stateLosses{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&, thread] {
            // Each thread its own direction and x87 precision.
            const int d = thread % 4;
            std::fesetround(directions[d]);
            const uint16_t precision = thread % 3 == 0 ? 0x000 : thread % 3 == 1 ? 0x200 : 0x300;
            WriteControlWord(static_cast<uint16_t>((ReadControlWord() & ~0x0300) | precision));
            const uint32_t mxcsr = ReadMxcsr() & ~0x3Fu;
            const uint16_t controlWord = ReadControlWord();
            for (int round = 0; round < kRounds; ++round) {
                for (std::size_t j = 0; j < jobs.size(); ++j) {
                    // Start at different jobs so that the threads mix variants.
                    const std::size_t k = (j + static_cast<std::size_t>(thread) * 5) % jobs.size();
                    const Job& job = jobs[k];
                    const test::Call call = test::Run(
                        model, test::MakeOptions(job.Variant, job.Sequential, 1e-9, job.Maximize));
                    if (!SameBits(call, expected[d][k])) {
                        ++mismatches;
                    }
                    if ((ReadMxcsr() & ~0x3Fu) != mxcsr || ReadControlWord() != controlWord ||
                        std::fegetround() != directions[d]) {
                        ++stateLosses;
                    }
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(stateLosses.load(), 0);
}

// A chain of 20,000 states, each moving on with probability 1/1024 and
// otherwise staying: a sweep carries the target's probability about 1/1023
// states back, so some lower bound changes in every one of the millions of
// iterations before state 0's reaches 1 (each variant runs 20,000 of them
// in one to seven seconds). With Epsilon 0 and no limit, only the abort flag
// ends the run in time.
test::Model Slow() {
    const uint64_t n = 20000;
    std::vector<test::StateChoices> states(n + 1);
    for (uint64_t s = 0; s < n; ++s) {
        states[s] = {{Fraction(s, 1023, 1024), Fraction(s + 1, 1, 1024)}};
    }
    return test::MakeModel(states, {n});
}

TEST(Concurrency, AbortFromAnotherThreadStopsALongRun) {
    const test::Model model = Slow();
    const SparseMdp mdp = model.Mdp();
    for (const test::Variant& variant : test::ComputingVariants()) {
        for (bool sequential : {true, false}) {
            IterationOptions options = test::MakeOptions(variant, sequential, 0);
            options.ReturnBoundsOnFailure = 1;
            int32_t abortFlag = 0;
            int64_t count = 0;
            double achieved = 0;
            int32_t warned = 0;
            std::vector<test::Message> messages;
            IterationResult result{};
            std::thread caller([&] {
                test::MessageSink = &messages;
                result = IntervalIteration(&mdp, &options, &count, &achieved, &warned,
                                           test::CaptureMessage, &abortFlag);
                test::MessageSink = nullptr;
            });
            // The run makes progress that another thread can watch...
            const auto start = std::chrono::steady_clock::now();
            while (__atomic_load_n(&count, __ATOMIC_RELAXED) < 3 &&
                   std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            // ...until the flag is raised.
            __atomic_store_n(&abortFlag, 1, __ATOMIC_RELAXED);
            caller.join();
            EXPECT_EQ(result.Status, IterationStatusStopped) << variant.Name;
            EXPECT_GE(count, 3) << variant.Name;
            EXPECT_EQ(abortFlag, 1);
        }
    }
}

}  // namespace
