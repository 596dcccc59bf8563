// Reachability properties as probabilistic model checkers (PRISM, Storm)
// write them, and the sets of states their label expressions denote.
//
//   Pmax=? [ F "goal" ]                    the maximum probability of reaching "goal"
//   Pmin=? [ !"bad" U "goal"|"done" ]      ... of reaching "goal" or "done" without passing "bad"
//   Pmax>=0.99 [ F "goal" ]                is the maximum probability at least 0.99?
//   P<0.5 [ F "goal" ]                     is the probability below 0.5 for every scheduler?
//
// The grammar (blanks are free between tokens, "//" starts a comment, a
// final ";" is allowed):
//
//   property   := [ "\"" name "\"" ":" ] operator "[" path "]"
//   operator   := ("P" | "Pmin" | "Pmax") ("=?" | comparison number)
//   comparison := "<" | "<=" | ">" | ">="
//   number     := a decimal ("0.99", ".5", "1", "2.5e-3") or a fraction "a/b", in [0, 1]
//   path       := "F" expression | expression "U" expression
//   expression := or;  or := and {"|" and};  and := not {"&" not}
//   not        := "!" not | "\"" label "\"" | "true" | "false" | "(" expression ")"
//
// A plain P with a threshold takes its direction from the comparison, as
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

// A threshold query's bound: the probability compared with Value.
struct Threshold {
    Comparison Compare = Comparison::GreaterEqual;
    mpq_class Value;   // exactly the number as written
    std::string Text;  // as written, for display
};

struct Property {
    std::string Name;  // the optional "name": prefix, or ""
    Direction Sense = Direction::Unspecified;
    bool HasThreshold = false;
    Threshold Bound;                 // when HasThreshold
    bool HasAvoid = false;           // "phi U psi": the states where phi fails
    LabelExpression Avoid;           // when HasAvoid: !phi, with double negation removed
    LabelExpression Target;          // psi
    std::string Text;                // canonical, printable: Pmax=? [!"bad" U "goal"]
};

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

// Whether the library is to compute the maximum. Explicit Pmin/Pmax, else
// the direction of the threshold (above); "P=?" computes the maximum on a
// Markov chain (every state has at most one choice) and is an InputError on
// an MDP, as in PRISM.
bool DirectionIsMaximum(const Property& property, bool markovChain);

}  // namespace iicheck
