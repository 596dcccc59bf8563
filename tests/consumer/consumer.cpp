// A C++17 host that only has the installed headers and library: the
// probability 1/3 of a one-step model through the C++ wrapper.
#include <IntervalIteration.hpp>

#include <cstdio>

namespace ii = intervaliteration;

int main() {
    const std::uint64_t stateChoiceStart[] = {0, 1, 1};
    const std::uint64_t choiceTransitionStart[] = {0, 1};
    const std::uint64_t transitionTarget[] = {1};
    const TransitionValue values[] = {ii::Fraction(1, 3)};
    const StateBitset target[] = {StateBitset{1} << 1};
    const ii::Model model{stateChoiceStart, choiceTransitionStart, transitionTarget, values,
                          target, {}};
    ii::Options options;
    options.Epsilon = 1e-9;
    const ii::Result result = ii::Compute(model, options);
    std::printf("C++ wrapper: [%.17g, %.17g]\n", result.Lower, result.Upper);
    // Safe rounding: the binary64 value below 1/3 and the one above.
    return result.Status == ii::Status::Converged && result.Lower == 1.0 / 3.0 &&
                   result.Upper > 1.0 / 3.0
               ? 0
               : 1;
}
