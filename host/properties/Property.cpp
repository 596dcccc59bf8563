#include "properties/Property.hpp"

#include "model/TextLines.hpp"
#include "support/Text.hpp"

#include <utility>

namespace iicheck {
namespace {

// Deeper nesting of parentheses and negations is refused, so that the
// recursive parser and evaluation stay within a small stack.
constexpr int kMaxDepth = 64;
// The longest number accepted as a threshold: digits, and the magnitude of
// its exponent.
constexpr std::size_t kMaxDigits = 1000;
constexpr long kMaxExponent = 1000;

// What the refusals of other forms say is answered.
constexpr const char* kAnswered =
    "iicheck answers P, Pmin and Pmax of F, U, G, W and R, and R, Rmin and Rmax of F, without step bounds, "
    "over labels";

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

LabelExpression Constant(bool value) {
    LabelExpression expression;
    expression.Op = value ? LabelExpression::Kind::True : LabelExpression::Kind::False;
    return expression;
}

LabelExpression LabelNode(std::string name) {
    LabelExpression expression;
    expression.Op = LabelExpression::Kind::Label;
    expression.Label = std::move(name);
    return expression;
}

// !e, without double negations and negated constants.
LabelExpression Negate(LabelExpression expression) {
    using Kind = LabelExpression::Kind;
    switch (expression.Op) {
        case Kind::True: return Constant(false);
        case Kind::False: return Constant(true);
        case Kind::Not: return std::move(expression.Operands[0]);
        default: {
            LabelExpression negated;
            negated.Op = Kind::Not;
            negated.Operands.push_back(std::move(expression));
            return negated;
        }
    }
}

// Appends operand to a conjunction or disjunction, flattening one of the
// same kind.
void AddOperand(LabelExpression& node, LabelExpression operand) {
    if (operand.Op == node.Op) {
        for (LabelExpression& inner : operand.Operands) node.Operands.push_back(std::move(inner));
    } else {
        node.Operands.push_back(std::move(operand));
    }
}

LabelExpression Conjunction(LabelExpression a, LabelExpression b) {
    using Kind = LabelExpression::Kind;
    if (a.Op == Kind::False || b.Op == Kind::False) return Constant(false);
    if (a.Op == Kind::True) return b;
    if (b.Op == Kind::True) return a;
    LabelExpression node;
    node.Op = Kind::And;
    AddOperand(node, std::move(a));
    AddOperand(node, std::move(b));
    return node;
}

int Precedence(LabelExpression::Kind op) {
    switch (op) {
        case LabelExpression::Kind::Or: return 1;
        case LabelExpression::Kind::And: return 2;
        case LabelExpression::Kind::Not: return 3;
        default: return 4;
    }
}

std::string Operand(const LabelExpression& expression, int minimum) {
    const std::string text = ExpressionText(expression);
    return Precedence(expression.Op) < minimum ? "(" + text + ")" : text;
}

// The operator: Pmax=?, P>=0.9, R{"time"}min=?, Rmin<=5.
std::string OperatorText(const Property& property, Direction sense, const Threshold* bound) {
    const char* direction = sense == Direction::Minimum ? "min" : sense == Direction::Maximum ? "max" : "";
    std::string text = property.Reward ? "R" : "P";
    if (property.Reward && property.RewardNamed) {
        text += "{" + Quoted(property.RewardName, property.RewardName.size()) + "}";
    }
    text += direction;
    return text + (bound != nullptr ? std::string(ComparisonText(bound->Compare)) + Printable(bound->Text) : "=?");
}

// The reachability path of Target and Avoid: F "goal", !"bad" U "goal".
std::string ReachabilityText(const Property& property) {
    return (property.HasAvoid ? ExpressionText(Negate(property.Avoid)) + " U " : std::string("F ")) +
           ExpressionText(property.Target);
}

// pathText: the path as written, for G, W and R.
std::string CanonicalText(const Property& property, const std::string& pathText = "") {
    return OperatorText(property, property.Sense, property.HasThreshold ? &property.Bound : nullptr) + " [" +
           (property.Complement ? pathText : ReachabilityText(property)) + "]";
}

// The comparison that holds of 1 - x exactly when this one holds of x.
Comparison TurnedRound(Comparison compare) {
    switch (compare) {
        case Comparison::Less: return Comparison::Greater;
        case Comparison::LessEqual: return Comparison::GreaterEqual;
        case Comparison::Greater: return Comparison::Less;
        default: return Comparison::LessEqual;
    }
}

// Makes property the complement of what it holds: its Target and Avoid are
// already the reachability property's, its direction and threshold turn
// round.
void MakeComplement(Property& property) {
    property.Complement = true;
    if (property.HasThreshold) {
        property.ComplementBound.Compare = TurnedRound(property.Bound.Compare);
        property.ComplementBound.Value = 1 - property.Bound.Value;
        property.ComplementBound.Text = property.ComplementBound.Value.get_str();
    }
    const Direction turned = property.Sense == Direction::Minimum   ? Direction::Maximum
                             : property.Sense == Direction::Maximum ? Direction::Minimum
                                                                    : Direction::Unspecified;
    property.ComplementText = OperatorText(property, turned, property.HasThreshold ? &property.ComplementBound : nullptr) +
                              " [" + ReachabilityText(property) + "]";
}

// A recursive-descent parser over one property's text; every error names
// the column (bytes from 1) where it was found.
class Parser {
public:
    Parser(std::string_view text, const std::string& origin) : text_(text), origin_(origin) {}

    Property Parse() {
        Property property;
        Blanks();
        if (Peek() == '"') {
            property.Name = QuotedName("property name");
            Blanks();
            Expect(":");
        }
        Operator(property);
        Expect("[");
        const std::string pathText = Path(property);
        Expect("]");
        if (Peek() == ';') {
            ++at_;
            Blanks();
        }
        if (!AtEnd()) Fail("unexpected " + Excerpt() + " after the property");
        if (property.Complement) MakeComplement(property);
        property.Text = CanonicalText(property, pathText);
        return property;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw InputError(origin_ + ": column " + std::to_string(at_ + 1) + ": " + what);
    }

    // Blanks, and a "//" comment to the end of the text.
    void Blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r' ||
                                      text_[at_] == '\n')) {
            ++at_;
        }
        if (text_.substr(at_, 2) == "//") at_ = text_.size();
    }
    bool AtEnd() const { return at_ == text_.size(); }
    char Peek(std::size_t ahead = 0) const {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0';
    }
    // Consumes token (and the blanks after it) when the text continues with it.
    bool Accept(std::string_view token) {
        if (text_.substr(at_, token.size()) != token) return false;
        at_ += token.size();
        Blanks();
        return true;
    }
    void Expect(const char* token) {
        if (!Accept(token)) Fail(std::string("expected \"") + token + "\"" + Found());
    }
    // ", found \"...\"", or "" at the end.
    std::string Found() const { return AtEnd() ? " at the end" : ", found " + Excerpt(); }
    std::string Excerpt() const { return Quoted(text_.substr(at_), 20); }

    // A word of letters, digits and '_', without consuming it.
    std::string_view Word() const {
        std::size_t end = at_;
        if (end < text_.size() && IsLetter(text_[end])) {
            while (end < text_.size() && (IsLetter(text_[end]) || IsDigit(text_[end]))) ++end;
        }
        return text_.substr(at_, end - at_);
    }

    std::string QuotedName(const char* what) {
        const std::size_t start = at_++;
        const std::size_t close = text_.find('"', at_);
        if (close == std::string_view::npos) {
            at_ = start;
            Fail(std::string("unterminated ") + what + " " + Excerpt());
        }
        if (close == at_) {
            at_ = start;
            Fail(std::string("empty ") + what + " \"\"");
        }
        std::string name(text_.substr(at_, close - at_));
        at_ = close + 1;
        Blanks();
        return name;
    }

    void Operator(Property& property) {
        const std::string_view word = Word();
        if (word == "P" || word == "Pmin" || word == "Pmax") {
            property.Sense = word == "Pmin"   ? Direction::Minimum
                             : word == "Pmax" ? Direction::Maximum
                                              : Direction::Unspecified;
            at_ += word.size();
        } else if (word == "R" || word == "Rmin" || word == "Rmax") {
            property.Reward = true;
            property.Sense = word == "Rmin"   ? Direction::Minimum
                             : word == "Rmax" ? Direction::Maximum
                                              : Direction::Unspecified;
            at_ += word.size();
            if (Peek() == '{') {
                ++at_;
                if (Peek() != '"') {
                    Fail("a reward structure is named in double quotes, R{\"name\"}" + Found());
                }
                property.RewardName = QuotedName("reward structure name");
                property.RewardNamed = true;
                if (Peek() != '}') Fail("expected \"}\"" + Found());
                ++at_;
                const std::string_view after = Word();
                if (property.Sense == Direction::Unspecified && (after == "min" || after == "max")) {
                    property.Sense = after == "min" ? Direction::Minimum : Direction::Maximum;
                    at_ += after.size();
                }
            }
        } else if (word == "filter") {
            Fail("filter(...) is not supported; iicheck reports the property in the initial state");
        } else {
            Fail("expected P, Pmin, Pmax, R, Rmin or Rmax" + Found());
        }
        Blanks();
        if (Peek() == '=') {
            ++at_;
            Blanks();
            Expect("?");
            return;
        }
        static const std::pair<const char*, Comparison> kComparisons[] = {
            {"<=", Comparison::LessEqual}, {">=", Comparison::GreaterEqual},
            {"<", Comparison::Less}, {">", Comparison::Greater}};
        for (const auto& [token, compare] : kComparisons) {
            if (Accept(token)) {
                property.HasThreshold = true;
                property.Bound.Compare = compare;
                Number(property.Bound, !property.Reward);
                return;
            }
        }
        Fail("expected \"=?\" or a comparison (<, <=, >, >=)" + Found());
    }

    // A probability written as a decimal or as a fraction of integers, read
    // exactly.
    // probability: at most 1 (P), else any non-negative number (R).
    void Number(Threshold& threshold, bool probability) {
        const std::size_t start = at_;
        std::string digits;
        long exponent = 0;
        auto readDigits = [&](std::string& into) {
            while (IsDigit(Peek())) {
                if (into.size() == kMaxDigits) Fail("the number has more than 1000 digits");
                into += text_[at_++];
            }
        };
        readDigits(digits);
        const std::size_t integerDigits = digits.size();
        if (Peek() == '.') {
            ++at_;
            readDigits(digits);
            exponent = -static_cast<long>(digits.size() - integerDigits);
        }
        if (digits.empty()) {
            at_ = start;
            Fail(probability ? "expected a probability such as 0.99 or 1/3" + Found()
                             : "expected a number such as 2.5 or 1/3" + Found());
        }
        mpq_class value;
        if (Peek() == '/' && exponent == 0 && integerDigits == digits.size()) {
            ++at_;
            std::string denominator;
            readDigits(denominator);
            if (denominator.empty()) Fail("expected the denominator of the fraction" + Found());
            const mpz_class below(denominator, 10);
            if (below == 0) {
                const std::string written = Printable(text_.substr(start, at_ - start));
                at_ = start;
                Fail("the fraction " + written + " divides by 0");
            }
            value = mpq_class(mpz_class(digits, 10), below);
            value.canonicalize();
        } else {
            if ((Peek() == 'e' || Peek() == 'E') &&
                (IsDigit(Peek(1)) || ((Peek(1) == '+' || Peek(1) == '-') && IsDigit(Peek(2))))) {
                ++at_;
                const bool negative = Peek() == '-';
                if (Peek() == '+' || Peek() == '-') ++at_;
                long magnitude = 0;
                while (IsDigit(Peek())) {
                    magnitude = magnitude * 10 + (text_[at_++] - '0');
                    if (magnitude > kMaxExponent) Fail("the exponent is beyond 1000");
                }
                exponent += negative ? -magnitude : magnitude;
            }
            mpz_class scale;
            mpz_ui_pow_ui(scale.get_mpz_t(), 10, static_cast<unsigned long>(exponent < 0 ? -exponent : exponent));
            value = exponent < 0 ? mpq_class(mpz_class(digits, 10), scale) : mpq_class(mpz_class(digits, 10) * scale);
            value.canonicalize();
        }
        threshold.Text = std::string(text_.substr(start, at_ - start));
        if (probability && value > 1) {
            at_ = start;
            Fail("the threshold " + Printable(threshold.Text) + " is not a probability in [0, 1]");
        }
        threshold.Value = value;
        Blanks();
    }

    // Refuses a step bound after the path operator at at_.
    void NoStepBound(std::string_view op) {
        if (Peek() == '<' || Peek() == '>' || Peek() == '{' || Peek() == '=' || Peek() == '[') {
            Fail("step-bounded " + std::string(op) + " is not supported; " + kAnswered);
        }
    }

    // The path into property; returns its canonical text as written.
    std::string Path(Property& property) {
        const std::string_view word = Word();
        if (property.Reward) {
            if (word != "F") {
                Fail("the reward operator is answered for F only, the expected total reward until a goal "
                     "(R=? [F \"goal\"]), found " + Excerpt() + "; " + kAnswered);
            }
        }
        if (word == "F" || word == "G") {
            at_ += 1;
            NoStepBound(word);
            Blanks();
            LabelExpression operand = Expression(0);
            const std::string text = std::string(word) + " " + ExpressionText(operand);
            if (word == "F") {
                property.Target = std::move(operand);
            } else {
                property.Form = PathForm::Globally;
                property.Target = Negate(std::move(operand));
                property.Complement = true;
            }
            return text;
        }
        if (word == "X" || word == "C" || word == "I" || word == "S" || word == "LRA") {
            Fail("the path operator " + std::string(word) + " is not supported; " + kAnswered);
        }
        LabelExpression left = Expression(0);
        const std::string_view op = Word();
        if (op != "U" && op != "W" && op != "R") Fail("expected \"U\", \"W\", \"R\" or \"]\"" + Found());
        at_ += 1;
        NoStepBound(op);
        Blanks();
        LabelExpression right = Expression(0);
        const std::string text = ExpressionText(left) + " " + std::string(op) + " " + ExpressionText(right);
        if (op == "U") {
            // !avoid U target
            property.Target = std::move(right);
            property.Avoid = Negate(std::move(left));
        } else if (op == "W") {
            // phi W psi = !(!psi U (!phi & !psi))
            property.Form = PathForm::WeakUntil;
            property.Target = Conjunction(Negate(left), Negate(right));
            property.Avoid = std::move(right);
            property.Complement = true;
        } else {
            // phi R psi = !(!phi U !psi)
            property.Form = PathForm::Release;
            property.Target = Negate(std::move(right));
            property.Avoid = std::move(left);
            property.Complement = true;
        }
        if (property.Form == PathForm::Eventually) property.Form = PathForm::Until;
        property.HasAvoid = property.Avoid.Op != LabelExpression::Kind::False;
        if (!property.HasAvoid) property.Avoid = LabelExpression{};
        if (op == "U") return ReachabilityText(property);
        return text;
    }

    // or := and {"|" and}; and := not {"&" not}
    LabelExpression Expression(int depth) { return Binary(LabelExpression::Kind::Or, depth); }

    LabelExpression Binary(LabelExpression::Kind op, int depth) {
        const bool isOr = op == LabelExpression::Kind::Or;
        LabelExpression first = isOr ? Binary(LabelExpression::Kind::And, depth) : Unary(depth);
        const char symbol = isOr ? '|' : '&';
        if (Peek() != symbol) return first;
        LabelExpression node;
        node.Op = op;
        AddOperand(node, std::move(first));
        while (Peek() == symbol) {
            ++at_;
            Blanks();
            AddOperand(node, isOr ? Binary(LabelExpression::Kind::And, depth) : Unary(depth));
        }
        return node;
    }

    LabelExpression Unary(int depth) {
        if (depth > kMaxDepth) Fail("expressions nested more than 64 deep are not supported");
        if (Peek() == '!') {
            ++at_;
            Blanks();
            LabelExpression operand = Unary(depth + 1);
            LabelExpression node;
            node.Op = LabelExpression::Kind::Not;
            node.Operands.push_back(std::move(operand));
            return node;
        }
        if (Peek() == '(') {
            ++at_;
            Blanks();
            LabelExpression inner = Expression(depth + 1);
            Expect(")");
            return inner;
        }
        if (Peek() == '"') return LabelNode(QuotedName("label"));
        const std::string_view word = Word();
        if (word == "true" || word == "false") {
            at_ += word.size();
            Blanks();
            return Constant(word == "true");
        }
        if (word == "P" || word == "Pmin" || word == "Pmax" || word == "R" || word == "Rmin" || word == "Rmax") {
            std::size_t next = at_ + word.size();
            while (next < text_.size() && (text_[next] == ' ' || text_[next] == '\t')) ++next;
            if (next < text_.size() && std::string_view("=<>{[").find(text_[next]) != std::string_view::npos) {
                Fail("nested P and R operators are not supported; " + std::string(kAnswered));
            }
        }
        if (!word.empty()) {
            Fail("unquoted name " + Printable(word) + ": labels are written in double quotes (\"" +
                 Printable(word) + "\"); variables and formulas are not known in an exported model");
        }
        Fail("expected a label in double quotes, true, false, \"!\" or \"(\"" + Found());
    }

    std::string_view text_;
    const std::string& origin_;
    std::size_t at_ = 0;
};

void Complement(std::vector<uint64_t>& bits, uint64_t stateCount) {
    for (uint64_t& word : bits) word = ~word;
    if (stateCount % 64 != 0 && !bits.empty()) bits.back() &= (uint64_t{1} << (stateCount % 64)) - 1;
}

}  // namespace

const Threshold& ComputedBound(const Property& property) {
    return property.Complement ? property.ComplementBound : property.Bound;
}

const char* ComparisonText(Comparison compare) {
    switch (compare) {
        case Comparison::Less: return "<";
        case Comparison::LessEqual: return "<=";
        case Comparison::Greater: return ">";
        default: return ">=";
    }
}

Property ParseProperty(std::string_view text, const std::string& origin) {
    return Parser(text, origin).Parse();
}

std::vector<Property> ParsePropertiesText(std::string_view text, const std::string& name,
                                          std::vector<std::string>& notes) {
    std::vector<Property> properties;
    NameList skipped;
    Lines lines(text);
    const char* begin;
    const char* end;
    while (lines.Next(begin, end)) {
        while (begin != end && IsBlank(*begin)) ++begin;
        const std::string_view line(begin, static_cast<std::size_t>(end - begin));
        const std::string place = Printable(name) + ":" + std::to_string(lines.Number());
        auto startsWith = [&](std::string_view keyword) {
            return line.substr(0, keyword.size()) == keyword &&
                   (line.size() == keyword.size() || IsBlank(line[keyword.size()]) ||
                    line[keyword.size()] == '"');
        };
        if (line.empty() || line.substr(0, 2) == "//") continue;
        if (startsWith("label")) {
            const std::size_t open = line.find('"');
            const std::size_t close = open == std::string_view::npos ? open : line.find('"', open + 1);
            const std::string label = close == std::string_view::npos
                                          ? Printable(line.substr(5))
                                          : Quoted(line.substr(open + 1, close - open - 1));
            skipped.Add(label);
            continue;
        }
        for (const char* keyword : {"const", "formula"}) {
            if (startsWith(keyword)) {
                throw InputError(place + ": " + keyword +
                                 " definitions are not supported: an exported model has no "
                                 "variables; write the property over its labels");
            }
        }
        properties.push_back(ParseProperty(line, place));
    }
    if (skipped.Count() != 0) {
        notes.push_back(Printable(name) + ": " + std::to_string(skipped.Count()) + " label definition" +
                        (skipped.Count() == 1 ? "" : "s") + " skipped (" + skipped.Text() +
                        "): iicheck cannot evaluate expressions over the model's variables; the "
                        "model's labels must hold them (PRISM exports them with -exportmodel "
                        "...:proplabels)");
    }
    if (properties.empty()) throw InputError(Printable(name) + ": no property in the file");
    return properties;
}

Property ShorthandProperty(const std::string& targets, const std::string& avoid, bool maximize) {
    auto labels = [](std::string_view list) {
        LabelExpression any;
        any.Op = LabelExpression::Kind::Or;
        std::size_t start = 0;
        while (true) {
            const std::size_t bar = list.find('|', start);
            std::string_view label =
                list.substr(start, bar == std::string_view::npos ? bar : bar - start);
            while (!label.empty() && (label.front() == ' ' || label.front() == '"')) label.remove_prefix(1);
            while (!label.empty() && (label.back() == ' ' || label.back() == '"')) label.remove_suffix(1);
            AddOperand(any, LabelNode(std::string(label)));
            if (bar == std::string_view::npos) break;
            start = bar + 1;
        }
        return any.Operands.size() == 1 ? std::move(any.Operands[0]) : any;
    };
    Property property;
    property.Sense = maximize ? Direction::Maximum : Direction::Minimum;
    property.Target = labels(targets);
    property.HasAvoid = !avoid.empty();
    if (property.HasAvoid) property.Avoid = labels(avoid);
    property.Text = CanonicalText(property);
    return property;
}

std::string ExpressionText(const LabelExpression& expression) {
    using Kind = LabelExpression::Kind;
    switch (expression.Op) {
        case Kind::True: return "true";
        case Kind::False: return "false";
        case Kind::Label: return Quoted(expression.Label, expression.Label.size());
        case Kind::Not: {
            // Appended rather than "!" + Operand(...): GCC 12 at -O3 warns
            // falsely about the overlap of that form (-Wrestrict).
            std::string text = "!";
            text += Operand(expression.Operands[0], 3);
            return text;
        }
        default: {
            const int own = Precedence(expression.Op);
            std::string text;
            for (const LabelExpression& operand : expression.Operands) {
                if (!text.empty()) text += expression.Op == Kind::And ? "&" : "|";
                text += Operand(operand, own + 1);
            }
            return text;
        }
    }
}

std::vector<uint64_t> EvaluateLabels(const LabelExpression& expression, const Labelling& labels,
                                     uint64_t stateCount, std::vector<std::string>& notes) {
    using Kind = LabelExpression::Kind;
    std::vector<uint64_t> bits;
    switch (expression.Op) {
        case Kind::True:
            bits = EmptyBits(stateCount);
            Complement(bits, stateCount);
            return bits;
        case Kind::False: return EmptyBits(stateCount);
        case Kind::Label: return LabelNamed(labels, expression.Label, stateCount, notes);
        case Kind::Not:
            bits = EvaluateLabels(expression.Operands[0], labels, stateCount, notes);
            Complement(bits, stateCount);
            return bits;
        default:
            bits = EvaluateLabels(expression.Operands[0], labels, stateCount, notes);
            for (std::size_t i = 1; i < expression.Operands.size(); ++i) {
                const std::vector<uint64_t> other = EvaluateLabels(expression.Operands[i], labels, stateCount, notes);
                for (std::size_t w = 0; w < bits.size(); ++w) {
                    bits[w] = expression.Op == Kind::And ? bits[w] & other[w] : bits[w] | other[w];
                }
            }
            return bits;
    }
}

bool DirectionIsMaximum(const Property& property, bool markovChain) {
    bool maximum = true;
    if (property.Sense != Direction::Unspecified) {
        maximum = property.Sense == Direction::Maximum;
    } else if (property.HasThreshold) {
        // For every scheduler: a lower bound concerns the minimum, an upper
        // bound the maximum.
        maximum = property.Bound.Compare == Comparison::Less || property.Bound.Compare == Comparison::LessEqual;
    } else if (markovChain) {
        return true;  // one value: the direction does not matter
    } else {
        const char* op = property.Reward ? "R" : "P";
        throw InputError(property.Text + ": " + op + "=? names no direction, and the model has choices; write " +
                         op + "min=? or " + op + "max=?");
    }
    return property.Complement ? !maximum : maximum;
}

}  // namespace iicheck
