// Exact reachability probabilities of acyclic models and exact expected
// rewards of small models, with GMP rationals.
#pragma once

#include "IntervalIteration.h"

#include <gmp.h>

#include <string>

namespace reference {

// An owned GMP rational.
class Rational {
public:
    Rational();
    Rational(const Rational& other);
    Rational& operator=(const Rational& other);
    ~Rational();

    mpq_srcptr get() const { return value_; }
    mpq_ptr get() { return value_; }

    std::string ToString() const;  // "p/q (~decimal)"

private:
    mpq_t value_;
};

// The exact probability of a transition value: Numerator / Denominator as
// rationals, or the exact binary64 value when Denominator is 0.
Rational ExactProbability(const TransitionValue& value);

// The exact minimal (maximize false) or maximal probability of reaching the
// target states from state 0, by backward induction. The model must be
// acyclic among the states outside the target and zero sets; a state's
// choice without transitions has value 0.
Rational ExactReachability(const SparseMdp& model, bool maximize);

// The exact minimal (maximize false) or maximal expected total reward
// earned from state 0 until a target is reached (one reward per choice, in
// the order of the choices; targets and zero states earn nothing more), by
// policy iteration: the linear system of each policy solved exactly, then
// every state switched to a strictly better choice, until none is. Every
// policy must reach a target or zero state with probability 1 from every
// state (as on models whose every choice moves on with positive
// probability); small models only (dense elimination).
Rational ExactExpectedReward(const SparseMdp& model, const TransitionValue* rewards,
                             bool maximize);

// Whether lower <= exact <= upper, comparing the binary64 bounds exactly.
bool Encloses(double lower, const Rational& exact, double upper);

// The exact value as the nearest double (for tolerance checks and reports).
double ToDouble(const Rational& value);

}  // namespace reference
