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
