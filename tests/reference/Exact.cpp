#include "reference/Exact.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace reference {

Rational::Rational() { mpq_init(value_); }

Rational::Rational(const Rational& other) {
    mpq_init(value_);
    mpq_set(value_, other.value_);
}

Rational& Rational::operator=(const Rational& other) {
    if (this != &other) {
        mpq_set(value_, other.value_);
    }
    return *this;
}

Rational::~Rational() { mpq_clear(value_); }

std::string Rational::ToString() const {
    char* digits = mpq_get_str(nullptr, 10, value_);
    std::string text = digits;
    void (*release)(void*, size_t);
    mp_get_memory_functions(nullptr, nullptr, &release);
    release(digits, std::strlen(digits) + 1);
    return text + " (~" + std::to_string(mpq_get_d(value_)) + ")";
}

Rational ExactProbability(const TransitionValue& value) {
    Rational p;
    if (value.Denominator == 0) {
        double stored;
        std::memcpy(&stored, &value.Numerator, sizeof stored);
        if (!std::isfinite(stored)) {
            throw std::invalid_argument("exact value of a non-finite probability");
        }
        mpq_set_d(p.get(), stored);  // exact
        return p;
    }
    mpz_t numerator;
    mpz_t denominator;
    mpz_init(numerator);
    mpz_init(denominator);
    mpz_set_si(numerator, static_cast<long>(value.Numerator));
    mpz_set_si(denominator, static_cast<long>(value.Denominator));
    mpq_set_num(p.get(), numerator);
    mpq_set_den(p.get(), denominator);
    mpq_canonicalize(p.get());  // also moves a negative denominator's sign
    mpz_clear(numerator);
    mpz_clear(denominator);
    return p;
}

namespace {

bool Contains(const StateBitset* set, uint64_t state) {
    return ((set[state / 64] >> (state % 64)) & 1U) != 0;
}

struct Induction {
    const SparseMdp& model;
    bool maximize;
    std::vector<int> status;  // 0 unvisited, 1 in progress, 2 done
    std::vector<Rational> value;

    const Rational& Value(uint64_t state) {
        if (status[state] == 2) {
            return value[state];
        }
        if (status[state] == 1) {
            throw std::invalid_argument("model has a cycle");
        }
        status[state] = 1;
        Rational result;
        if (Contains(model.TargetStates, state)) {
            mpq_set_ui(result.get(), 1, 1);
        } else if (model.ZeroStates != nullptr && Contains(model.ZeroStates, state)) {
            // 0
        } else {
            const uint64_t first = model.StateChoiceStart[state];
            const uint64_t end = model.StateChoiceStart[state + 1];
            if (first == end) {
                throw std::invalid_argument("swept state without choices");
            }
            for (uint64_t c = first; c < end; ++c) {
                Rational sum;
                for (uint64_t t = model.ChoiceTransitionStart[c];
                     t < model.ChoiceTransitionStart[c + 1]; ++t) {
                    const Rational p = ExactProbability(model.TransitionValues[t]);
                    Rational term;
                    mpq_mul(term.get(), p.get(), Value(model.TransitionTarget[t]).get());
                    mpq_add(sum.get(), sum.get(), term.get());
                }
                const int order = mpq_cmp(sum.get(), result.get());
                if (c == first || (maximize ? order > 0 : order < 0)) {
                    result = sum;
                }
            }
        }
        value[state] = result;
        status[state] = 2;
        return value[state];
    }
};

}  // namespace

Rational ExactReachability(const SparseMdp& model, bool maximize) {
    Induction induction{model, maximize, std::vector<int>(model.StateCount, 0),
                        std::vector<Rational>(model.StateCount)};
    return induction.Value(0);
}

bool Encloses(double lower, const Rational& exact, double upper) {
    if (std::isnan(lower) || std::isnan(upper)) {
        return false;
    }
    bool lowerHolds = std::isinf(lower) && lower < 0;
    if (std::isfinite(lower)) {
        Rational low;
        mpq_set_d(low.get(), lower);
        lowerHolds = mpq_cmp(low.get(), exact.get()) <= 0;
    }
    bool upperHolds = std::isinf(upper) && upper > 0;
    if (std::isfinite(upper)) {
        Rational high;
        mpq_set_d(high.get(), upper);
        upperHolds = mpq_cmp(exact.get(), high.get()) <= 0;
    }
    return lowerHolds && upperHolds;
}

double ToDouble(const Rational& value) { return mpq_get_d(value.get()); }

}  // namespace reference

namespace reference {
namespace {

// The values of one policy (a choice per swept state): the solution of
// x = r + P x over the swept states, by Gauss-Jordan elimination.
std::vector<Rational> PolicyValues(const SparseMdp& model, const TransitionValue* rewards,
                                   const std::vector<uint64_t>& policy) {
    const uint64_t n = model.StateCount;
    std::vector<std::vector<Rational>> matrix(n, std::vector<Rational>(n + 1));
    for (uint64_t s = 0; s < n; ++s) {
        mpq_set_ui(matrix[s][s].get(), 1, 1);
        if (Contains(model.TargetStates, s) ||
            (model.ZeroStates != nullptr && Contains(model.ZeroStates, s))) {
            continue;  // x[s] = 0
        }
        const uint64_t c = policy[s];
        matrix[s][n] = ExactProbability(rewards[c]);
        for (uint64_t t = model.ChoiceTransitionStart[c]; t < model.ChoiceTransitionStart[c + 1];
             ++t) {
            const Rational p = ExactProbability(model.TransitionValues[t]);
            Rational& entry = matrix[s][model.TransitionTarget[t]];
            mpq_sub(entry.get(), entry.get(), p.get());
        }
    }
    for (uint64_t column = 0; column < n; ++column) {
        uint64_t pivot = column;
        while (pivot < n && mpq_sgn(matrix[pivot][column].get()) == 0) {
            ++pivot;
        }
        if (pivot == n) {
            throw std::invalid_argument("a policy does not reach the targets");
        }
        std::swap(matrix[pivot], matrix[column]);
        for (uint64_t row = 0; row < n; ++row) {
            if (row == column || mpq_sgn(matrix[row][column].get()) == 0) {
                continue;
            }
            Rational factor;
            mpq_div(factor.get(), matrix[row][column].get(), matrix[column][column].get());
            for (uint64_t k = column; k <= n; ++k) {
                Rational term;
                mpq_mul(term.get(), factor.get(), matrix[column][k].get());
                mpq_sub(matrix[row][k].get(), matrix[row][k].get(), term.get());
            }
        }
    }
    std::vector<Rational> values(n);
    for (uint64_t s = 0; s < n; ++s) {
        mpq_div(values[s].get(), matrix[s][n].get(), matrix[s][s].get());
    }
    return values;
}

}  // namespace

Rational ExactExpectedReward(const SparseMdp& model, const TransitionValue* rewards,
                             bool maximize) {
    std::vector<uint64_t> policy(model.StateCount);
    for (uint64_t s = 0; s < model.StateCount; ++s) {
        policy[s] = model.StateChoiceStart[s];
    }
    for (;;) {
        const std::vector<Rational> values = PolicyValues(model, rewards, policy);
        bool improved = false;
        for (uint64_t s = 0; s < model.StateCount; ++s) {
            if (Contains(model.TargetStates, s) ||
                (model.ZeroStates != nullptr && Contains(model.ZeroStates, s))) {
                continue;
            }
            for (uint64_t c = model.StateChoiceStart[s]; c < model.StateChoiceStart[s + 1]; ++c) {
                Rational sum = ExactProbability(rewards[c]);
                for (uint64_t t = model.ChoiceTransitionStart[c];
                     t < model.ChoiceTransitionStart[c + 1]; ++t) {
                    Rational term;
                    const Rational p = ExactProbability(model.TransitionValues[t]);
                    mpq_mul(term.get(), p.get(), values[model.TransitionTarget[t]].get());
                    mpq_add(sum.get(), sum.get(), term.get());
                }
                const int order = mpq_cmp(sum.get(), values[s].get());
                if (maximize ? order > 0 : order < 0) {
                    policy[s] = c;
                    improved = true;
                    break;
                }
            }
        }
        if (!improved) {
            return values[0];
        }
    }
}

}  // namespace reference
