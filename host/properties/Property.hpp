// Reachability properties as probabilistic model checkers (PRISM, Storm)
// write them, and the sets of states their label expressions denote.
//
//   Pmax=? [ F "goal" ]                    the maximum probability of reaching "goal"
//   Pmin=? [ !"bad" U "goal"|"done" ]      ... of reaching "goal" or "done" without passing "bad"
//   Pmax>=0.99 [ F "goal" ]                is the maximum probability at least 0.99?
//   P<0.5 [ F "goal" ]                     is the probability below 0.5 for every scheduler?
//   Pmax=? [ G "safe" ]                    ... of staying in "safe" states forever
//   Pmin=? [ "a" W "b" ], Pmin=? [ "a" R "b" ]   weak until, release
//   R{"time"}min=? [ F "done" ]            the minimum expected total reward until "done"
//
// G, W and R are answered by the complement, a reachability property with
// the scheduler's direction swapped: P[G phi] = 1 - P[F !phi],
// P[phi W psi] = 1 - P[!psi U (!phi & !psi)], P[phi R psi] = 1 - P[!phi U !psi];
// Pmax of the one is 1 - Pmin of the other.
//
// The grammar (blanks are free between tokens, "//" starts a comment, a
// final ";" is allowed):
//
//   property   := [ "\"" name "\"" ":" ] operator "[" path "]"
//   operator   := ("P" | "Pmin" | "Pmax") ("=?" | comparison number)
//               | "R" [ "{" "\"" name "\"" "}" ] [ "min" | "max" ] ("=?" | comparison number)
//   comparison := "<" | "<=" | ">" | ">="
//   number     := a decimal ("0.99", ".5", "1", "2.5e-3") or a fraction "a/b",
//                 in [0, 1] for P, any non-negative number for R
//   path       := "F" expression | "G" expression
//               | expression ("U" | "W" | "R") expression      (R: "F" expression only)
//   expression := or;  or := and {"|" and};  and := not {"&" not}
//   not        := "!" not | "\"" label "\"" | "true" | "false" | "(" expression ")"
//
// Step bounds (F<=10), nested P and R operators, X and the other forms are
// refused with a message that says what is answered.
//
// A plain P or R with a threshold takes its direction from the comparison, as
// PRISM and Storm do on MDPs: the property must hold for every scheduler,
// so a lower bound (P>=p, P>p) is a statement about the minimum probability
// and an upper bound (P<=p, P<p) one about the maximum. "P=?" names no
// direction: on a Markov chain minimum and maximum coincide; on an MDP it
// is refused (DirectionIsMaximum).
#pragma once

#include "model/ExplicitModel.hpp"

#include <gmpxx.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// A Boolean combination of labels.
struct LabelExpression {
    enum class Kind : uint8_t { True, False, Label, Not, And, Or };
    Kind Op = Kind::True;
    std::string Label;                      // Kind::Label: the name, unescaped
    std::vector<LabelExpression> Operands;  // Not: one; And, Or: two or more
};

enum class Direction : uint8_t { Unspecified, Minimum, Maximum };

enum class Comparison : uint8_t { Less, LessEqual, Greater, GreaterEqual };

// The path formula as written.
enum class PathForm : uint8_t { Eventually, Until, Globally, WeakUntil, Release };

// A threshold query's bound: the probability compared with Value.
struct Threshold {
    Comparison Compare = Comparison::GreaterEqual;
    mpq_class Value;   // exactly the number as written
    std::string Text;  // as written, for display
};

// What is computed is always a reachability probability, "!avoid U target",
// or an expected reward until target. For G, W and R it is the complement's
// (Complement): Target and Avoid are those of the complement, and so is the
// direction (DirectionIsMaximum); the answer is 1 minus its probability.
struct Property {
    std::string Name;  // the optional "name": prefix, or ""
    Direction Sense = Direction::Unspecified;  // as written
    bool HasThreshold = false;
    Threshold Bound;                 // when HasThreshold, as written
    bool HasAvoid = false;           // "phi U psi": the states where phi fails
    LabelExpression Avoid;           // when HasAvoid: !phi, with double negation removed
    LabelExpression Target;          // psi
    std::string Text;                // canonical, printable: Pmax=? [!"bad" U "goal"]
    PathForm Form = PathForm::Eventually;
    // G, W, R: the answer is 1 minus the probability of the reachability
    // property ComplementText ("Pmin=? [F !\"safe\"]"), whose threshold
    // (ComplementBound: 1 - the bound, the comparison turned round) decides
    // the query exactly.
    bool Complement = false;
    std::string ComplementText;
    Threshold ComplementBound;
    // An expected total reward until Target (R), of the structure
    // RewardName when RewardNamed (R{"name"}).
    bool Reward = false;
    bool RewardNamed = false;
    std::string RewardName;
};

// The threshold the computed value is compared with: Bound, or for a
// complement ComplementBound.
const Threshold& ComputedBound(const Property& property);

// Parses one property. An error is an InputError "origin: column N: what",
// the column counted in bytes from 1, everything from the text passed
// through Printable: "--prop: column 14: expected \"]\"".
Property ParseProperty(std::string_view text, const std::string& origin);

// The properties of a properties file (name for messages): one a line,
// blank lines and "//" comments skipped. PRISM's label definitions
// (label "x" = ...) are expressions over the model's variables, which an
// exported model no longer has: they are skipped, with one note saying so
// and naming them (the model's labels file must define them; PRISM writes
// them with -exportmodel ...:proplabels). Constant and formula definitions
// are refused. An error is an InputError "name:line: column N: what".
std::vector<Property> ParsePropertiesText(std::string_view text, const std::string& name,
                                          std::vector<std::string>& notes);

// The record --target, --avoid, --min and --max describe: targets and
// avoided states are labels joined by '|' ("goal|done"); surrounding blanks
// and quotes of each label are dropped.
Property ShorthandProperty(const std::string& targets, const std::string& avoid, bool maximize);

// "<", "<=", ">", ">="
const char* ComparisonText(Comparison compare);

// The canonical text of an expression: minimal parentheses, labels quoted
// and passed through Printable: !("a"|"b")&"c".
std::string ExpressionText(const LabelExpression& expression);

// The states that satisfy expression, as a bitset over stateCount states.
// Each label as LabelNamed: one the model does not have is an InputError
// that names it and lists the model's labels, or, where the format names
// only the labels that states carry, empty with a note.
std::vector<uint64_t> EvaluateLabels(const LabelExpression& expression, const Labelling& labels,
                                     uint64_t stateCount, std::vector<std::string>& notes);

// Whether the library is to compute the maximum. Explicit Pmin/Pmax (Rmin,
// Rmax), else the direction of the threshold (above); "P=?" computes the
// maximum on a Markov chain (every state has at most one choice) and is an
// InputError on an MDP, as in PRISM. For a complement, the direction of the
// reachability property computed: the written one turned round.
bool DirectionIsMaximum(const Property& property, bool markovChain);

}  // namespace iicheck
