#include "model/Rewards.hpp"

#include "model/ExactValue.hpp"
#include "support/Interrupt.hpp"
#include "support/Text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace iicheck {
namespace {

// Longer numbers are refused: a reward of a thousand digits is a broken file,
// and an exponent of millions would take GMP that many digits.
constexpr std::size_t kMaxRewardDigits = 1000;
constexpr long kMaxRewardExponent = 1100;  // beyond the binary64 range either way

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsZeroReward(const TransitionValue& value) {
    return value.Denominator != kLargeReward && IsZero(value);
}

// The binary64 value nearest below an exact positive reward that no kept
// form holds (never 0, never infinite): the library needs a finite value,
// and a positive reward must stay positive for the end components.
TransitionValue NearbyReward(const mpq_class& value) {
    double nearby = value.get_d();  // truncated
    if (nearby == 0 && value > 0) nearby = std::numeric_limits<double>::denorm_min();
    if (!std::isfinite(nearby)) nearby = std::numeric_limits<double>::max();
    TransitionValue kept;
    kept.Value = nearby;
    kept.Denominator = 0;
    return kept;
}

// A value the library reads as exactly this rational: binary64 or a
// fraction of 64-bit integers.
bool LibraryValue(const mpq_class& value, TransitionValue& exact) {
    if (ExactTransitionValue(value, exact)) return true;
    const double nearby = value.get_d();
    if (!std::isfinite(nearby) || mpq_class(nearby) != value) return false;
    exact.Value = nearby;
    exact.Denominator = 0;
    return true;
}

// a + b exactly when both are binary64 values and their sum is one.
bool ExactBinary64Sum(const TransitionValue& a, const TransitionValue& b, TransitionValue& sum) {
    if (a.Denominator != 0 || b.Denominator != 0) return false;
    const double s = a.Value + b.Value;
    const double bPart = s - a.Value;
    const double error = (a.Value - (s - bPart)) + (b.Value - bPart);
    if (error != 0 || !std::isfinite(s)) return false;
    sum.Value = s;
    sum.Denominator = 0;
    return true;
}

}  // namespace

std::string RewardKinds(const RewardStructure& rewards) {
    std::vector<const char*> kinds;
    if (rewards.StateRewards) kinds.push_back("state");
    if (rewards.ChoiceRewards) kinds.push_back("action");
    if (rewards.TransitionRewards) kinds.push_back("transition");
    if (kinds.empty()) return "no rewards";
    std::string text;
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        text += i == 0 ? "" : i + 1 == kinds.size() ? " and " : ", ";
        text += kinds[i];
    }
    return text + " rewards";
}

std::string RewardName(const RewardStructure& rewards) {
    return rewards.Name.empty() ? "the unnamed structure" : "the structure " + Quoted(rewards.Name);
}

const char* ParseReward(const char* begin, const char* end, mpq_class& value) {
    const char* p = begin;
    if (p != end && *p == '+') ++p;
    if (p != end && *p == '-') return "is negative";
    if (p != end && (*p == 'n' || *p == 'N' || *p == 'i' || *p == 'I')) return "is not a finite number";
    std::string digits;
    std::size_t integerDigits = 0;
    long exponent = 0;
    auto readDigits = [&]() {
        while (p != end && IsDigit(*p)) {
            if (digits.size() == kMaxRewardDigits) return false;
            digits += *p++;
        }
        return true;
    };
    if (!readDigits()) return "has more than 1000 digits";
    integerDigits = digits.size();
    bool point = false;
    if (p != end && *p == '.') {
        point = true;
        ++p;
        if (!readDigits()) return "has more than 1000 digits";
        exponent = -static_cast<long>(digits.size() - integerDigits);
    }
    if (digits.empty()) return "is not a number";
    if (p != end && *p == '/' && !point) {
        ++p;
        const std::string numerator = digits;
        digits.clear();
        if (!readDigits()) return "has more than 1000 digits";
        if (digits.empty() || p != end) return "is not a number";
        const mpz_class denominator(digits, 10);
        if (denominator == 0) return "divides by 0";
        value = mpq_class(mpz_class(numerator, 10), denominator);
        value.canonicalize();
        return nullptr;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negative = p != end && *p == '-';
        if (p != end && (*p == '+' || *p == '-')) ++p;
        if (p == end || !IsDigit(*p)) return "is not a number";
        long magnitude = 0;
        while (p != end && IsDigit(*p)) {
            magnitude = magnitude * 10 + (*p++ - '0');
            if (magnitude > kMaxRewardExponent) return "has an exponent beyond 1100";
        }
        exponent += negative ? -magnitude : magnitude;
    }
    if (p != end) return "is not a number";
    mpz_class scale;
    mpz_ui_pow_ui(scale.get_mpz_t(), 10, static_cast<unsigned long>(exponent < 0 ? -exponent : exponent));
    value = exponent < 0 ? mpq_class(mpz_class(digits, 10), scale) : mpq_class(mpz_class(digits, 10) * scale);
    value.canonicalize();
    return nullptr;
}

const char* RewardReader::Read(const char* begin, const char* end, RewardStructure& rewards, TransitionValue& value) {
    const std::string_view text(begin, static_cast<std::size_t>(end - begin));
    if (lastOf_ == &rewards && text == lastText_) {
        value = last_;
        return nullptr;
    }
    // An integer of up to 15 digits is a binary64 value.
    if (!text.empty() && text.size() <= 15 && std::all_of(begin, end, IsDigit)) {
        uint64_t integer = 0;
        for (const char c : text) integer = integer * 10 + static_cast<uint64_t>(c - '0');
        value.Value = static_cast<double>(integer);
        value.Denominator = 0;
    } else {
        mpq_class exact;
        if (const char* error = ParseReward(begin, end, exact)) return error;
        value = KeepReward(exact, rewards);
    }
    lastText_.assign(text);
    last_ = value;
    lastOf_ = &rewards;
    return nullptr;
}

TransitionValue KeepReward(const mpq_class& value, RewardStructure& rewards) {
    TransitionValue kept;
    if (LibraryValue(value, kept)) return kept;
    kept.Numerator = static_cast<int64_t>(rewards.Large.size());
    kept.Denominator = kLargeReward;
    rewards.Large.push_back(value);
    return kept;
}

mpq_class RewardRational(const TransitionValue& value, const RewardStructure& rewards) {
    if (value.Denominator == 0) return mpq_class(value.Value);
    if (value.Denominator == kLargeReward) return rewards.Large[static_cast<std::size_t>(value.Numerator)];
    mpq_class rational(mpz_class(static_cast<long>(value.Numerator)), mpz_class(static_cast<long>(value.Denominator)));
    rational.canonicalize();
    return rational;
}

bool AddReward(std::vector<RewardEntry>& entries, uint64_t index, const TransitionValue& value) {
    if (IsZeroReward(value)) return false;
    entries.push_back({index, value});
    return true;
}

void FoldTransitionRewards(const ExplicitMdp& mdp, const std::vector<RewardEntry>& transitionRewards,
                           RewardStructure& rewards) {
    std::vector<RewardEntry> merged;
    std::size_t old = 0;  // the next of the choice rewards already there
    const std::vector<uint64_t>& starts = mdp.ChoiceTransitionStart;
    for (std::size_t i = 0; i < transitionRewards.size();) {
        PollInterrupt(i, kReading);
        const uint64_t t = transitionRewards[i].Index;
        const uint64_t choice =
            static_cast<uint64_t>(std::upper_bound(starts.begin(), starts.end(), t) - starts.begin()) - 1;
        while (old < rewards.Choices.size() && rewards.Choices[old].Index < choice) {
            merged.push_back(rewards.Choices[old++]);
        }
        mpq_class sum;
        if (old < rewards.Choices.size() && rewards.Choices[old].Index == choice) {
            sum = RewardRational(rewards.Choices[old++].Value, rewards);
        }
        for (; i < transitionRewards.size() && transitionRewards[i].Index < starts[choice + 1]; ++i) {
            const RewardEntry& entry = transitionRewards[i];
            sum += RewardRational(entry.Value, rewards) *
                   SumExactlyBig(&mdp.TransitionValues[entry.Index], 1);
        }
        AddReward(merged, choice, KeepReward(sum, rewards));
    }
    while (old < rewards.Choices.size()) merged.push_back(rewards.Choices[old++]);
    rewards.Choices = std::move(merged);
}

ChoiceRewards FoldRewards(const ExplicitMdp& mdp, const RewardStructure& rewards) {
    ChoiceRewards folded;
    TransitionValue zero;
    zero.Value = 0.0;
    zero.Denominator = 0;
    folded.Values.assign(mdp.ChoiceCount(), zero);
    // The value the library gets for an exact reward.
    auto give = [&](const mpq_class& exact) {
        TransitionValue value;
        if (LibraryValue(exact, value)) return value;
        ++folded.Inexact;
        return NearbyReward(exact);
    };
    for (const RewardEntry& entry : rewards.Choices) folded.Values[entry.Index] = entry.Value;
    // Each choice is met once here: a state's rewards are one entry.
    uint64_t polls = 0;
    for (const RewardEntry& entry : rewards.States) {
        const uint64_t s = entry.Index;
        for (uint64_t c = mdp.StateChoiceStart[s]; c < mdp.StateChoiceStart[s + 1]; ++c) {
            PollInterrupt(polls++, kPrecomputing);
            TransitionValue& value = folded.Values[c];
            TransitionValue sum;
            if (IsZeroReward(value)) {
                value = entry.Value;
            } else if (ExactBinary64Sum(entry.Value, value, sum)) {
                value = sum;
            } else {
                value = give(RewardRational(entry.Value, rewards) + RewardRational(value, rewards));
            }
        }
    }
    for (TransitionValue& value : folded.Values) {
        if (value.Denominator == kLargeReward) value = give(RewardRational(value, rewards));
    }
    return folded;
}

std::size_t SelectRewards(const std::vector<RewardStructure>& structures, bool named, const std::string& name) {
    NameList names;
    for (const RewardStructure& structure : structures) names.Add(structure.Name.empty() ? "(unnamed)" : Quoted(structure.Name));
    if (named) {
        for (std::size_t i = 0; i < structures.size(); ++i) {
            if (structures[i].Name == name) return i;
        }
        throw InputError("the model has no reward structure " + Quoted(name) +
                         (structures.empty() ? std::string("; it has no rewards")
                                             : "; its reward structures are: " + names.Text()));
    }
    if (structures.size() == 1) return 0;
    if (structures.empty()) {
        throw InputError("the model has no rewards (a .srew or .trew file beside the .tra, "
                         "@reward_models in DRN, annotations/rewards in UMB)");
    }
    throw InputError("the model has " + std::to_string(structures.size()) + " reward structures (" + names.Text() +
                     "); name one: R{\"name\"}=? [F ...]");
}

}  // namespace iicheck
