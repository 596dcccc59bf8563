#include "formats/UmbReader.hpp"

#include "formats/ArchiveReader.hpp"
#include "model/ExactValue.hpp"
#include "support/Interrupt.hpp"
#include "support/Text.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

namespace iicheck {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the arrays of an archive are read in place");

using Json = nlohmann::ordered_json;  // keeps the order of the keys

// Choices and branches; keeps every byte count far from overflow.
constexpr uint64_t kMaxCount = uint64_t{1} << 40;

constexpr const char* kIndex = "index.json";
constexpr const char* kStateChoices = "state-to-choices.bin";
constexpr const char* kChoiceBranches = "choice-to-branches.bin";
constexpr const char* kBranchTargets = "branch-to-target.bin";
constexpr const char* kBranchProbabilities = "branch-to-probability.bin";
constexpr const char* kInitialStates = "state-is-initial.bin";

// Names, member paths, label names and the libraries' messages all come from
// the archive: the whole message is made printable.
[[noreturn]] void FailArchive(const std::string& name, const std::string& text) {
    throw InputError(Printable(name + ": " + text));
}

[[noreturn]] void Fail(const std::string& name, const std::string& member, const std::string& text) {
    FailArchive(name, "member " + member + ": " + text);
}

uint64_t Words(uint64_t bits) { return (bits + 63) / 64; }

enum class ProbabilityType { AllOne, Binary64, Rational };

struct StateLabel {
    std::string Id;
    std::string Name;
};

// A reward structure of "annotations"."rewards": where its rewards apply
// (0: states, 1: choices, 2: branches) and how they are stored.
struct RewardAnnotation {
    std::string Id;
    std::string Name;
    bool AppliesTo[3] = {false, false, false};
    bool Rational = false;  // else binary64
};
constexpr const char* kRewardKinds[3] = {"states", "choices", "branches"};

// What the reader takes from index.json.
struct Index {
    uint64_t States = 0;
    uint64_t Choices = 0;
    uint64_t Branches = 0;
    uint64_t InitialStates = 0;
    bool Dtmc = false;
    ProbabilityType Probabilities = ProbabilityType::AllOne;
    std::vector<StateLabel> Labels;
    std::vector<RewardAnnotation> Rewards;
};

// Typed access to index.json with messages that name the key.
class IndexReader {
public:
    explicit IndexReader(const std::string& name) : name_(name) {}

    [[noreturn]] void Fail(const std::string& text) const { iicheck::Fail(name_, kIndex, text); }

    const Json& Object(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_object()) Fail(Key(path, key) + " is " + Shown(value) + ", not an object");
        return value;
    }

    uint64_t Count(const Json& parent, const char* key, const std::string& path, uint64_t limit) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<int64_t>() < 0)) {
            Fail(Key(path, key) + " is " + Shown(value) + ", not a non-negative integer");
        }
        const uint64_t count = value.get<uint64_t>();
        if (count > limit) Fail(Key(path, key) + " is " + std::to_string(count) + ", too large");
        return count;
    }

    const Json& Array(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_array()) Fail(Key(path, key) + " is " + Shown(value) + ", not an array");
        return value;
    }

    std::string String(const Json& parent, const char* key, const std::string& path) const {
        const Json& value = Required(parent, key, path);
        if (!value.is_string()) Fail(Key(path, key) + " is " + Shown(value) + ", not a string");
        return value.get<std::string>();
    }

    static std::string Key(const std::string& path, const char* key) {
        return path.empty() ? std::string("\"") + key + "\"" : path + ".\"" + key + "\"";
    }

    // A value as written, cut after 40 bytes; the index keeps only the
    // keys the reader uses, so an object or array that stands where a value
    // is due is named, not shown.
    static std::string Shown(const Json& value) {
        if (value.is_array()) return "an array";
        if (value.is_object() && value.empty()) return "an object";
        std::string text = value.dump(-1, ' ', true, Json::error_handler_t::replace);
        if (text.size() > 40) text = text.substr(0, 40) + "...";
        return text;
    }

private:
    const Json& Required(const Json& parent, const char* key, const std::string& path) const {
        const auto found = parent.find(key);
        if (found == parent.end()) Fail(Key(path, key) + " is missing");
        return *found;
    }

    const std::string& name_;
};

// The parts of index.json the reader uses. Everything else (valuations,
// rewards, metadata) is skipped as it is parsed, so that the memory an
// index takes follows what the reader keeps, not the index's size.
enum class Node {
    Skip,         // not kept
    Opaque,       // an object or array where a value is due: kept empty
    Value,        // a number or string
    Root,
    System,       // "transition-system"
    Type,         // {"type": ..., "size": ...}
    Annotations,
    Aps,          // the labels, each handed over as it ends
    Ap,
    AppliesTo,    // keeps "states" only, once
    Rewards,      // the reward structures
    Reward,
    RewardAppliesTo,  // keeps "states", "choices" and "branches", each once
};

bool IsObjectNode(Node node) {
    return node == Node::Root || node == Node::System || node == Node::Type || node == Node::Annotations ||
           node == Node::Aps || node == Node::Ap || node == Node::Rewards || node == Node::Reward;
}

Node ChildNode(Node parent, std::string_view key) {
    switch (parent) {
        case Node::Root:
            return key == "format-version" ? Node::Value
                   : key == "transition-system" ? Node::System
                   : key == "annotations" ? Node::Annotations
                                          : Node::Skip;
        case Node::System:
            if (key == "branch-probability-type") return Node::Type;
            for (const char* value : {"time", "#players", "#observations", "#states", "#choices", "#branches",
                                      "#initial-states"}) {
                if (key == value) return Node::Value;
            }
            return Node::Skip;
        case Node::Type: return key == "type" || key == "size" ? Node::Value : Node::Skip;
        case Node::Annotations:
            return key == "aps" ? Node::Aps : key == "rewards" ? Node::Rewards : Node::Skip;
        case Node::Rewards: return Node::Reward;
        case Node::Reward:
            return key == "alias" ? Node::Value
                   : key == "applies-to" ? Node::RewardAppliesTo
                   : key == "type" ? Node::Type
                                   : Node::Skip;
        case Node::Aps: return Node::Ap;
        case Node::Ap:
            return key == "alias" ? Node::Value
                   : key == "applies-to" ? Node::AppliesTo
                   : key == "type" ? Node::Type
                                   : Node::Skip;
        default: return Node::Skip;
    }
}

// Builds the kept parts of index.json from the parser's events, in time
// linear in the text: a kept object holds a few known keys, and the labels
// leave the tree as each ends. A key that a kept object has twice is
// refused: the index would say two things. Looks for a stop every 65536
// events.
class IndexBuilder {
public:
    using Label = std::function<void(const std::string& id, const Json& ap)>;
    IndexBuilder(const IndexReader& reader, Label label) : reader_(reader), label_(std::move(label)) {}

    Json& Root() { return root_; }

    bool null() { return Value(Json(nullptr)); }
    bool boolean(bool value) { return Value(Json(value)); }
    bool number_integer(Json::number_integer_t value) { return Value(Json(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return Value(Json(value)); }
    bool number_float(Json::number_float_t value, const Json::string_t&) { return Value(Json(value)); }
    bool string(Json::string_t& value) { return Value(Json(std::move(value))); }
    bool binary(Json::binary_t&) { return Value(Json()); }

    bool start_object(std::size_t) { return Start(Json::object(), true); }
    bool start_array(std::size_t) { return Start(Json::array(), false); }
    bool end_object() { return End(); }
    bool end_array() { return End(); }

    bool key(Json::string_t& key) {
        Poll();
        if (skipped_ > 0) return true;
        Frame& top = frames_.back();
        top.Key = std::move(key);
        top.KeyNode = ChildNode(top.Kind, top.Key);
        if (top.Kind == Node::Aps) ids_.push_back(top.Key);
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        std::string message = error.what();
        std::replace(message.begin(), message.end(), '\n', ' ');
        const std::size_t bracket = message.find("] ");
        if (bracket != std::string::npos) message.erase(0, bracket + 2);
        reader_.Fail("is not valid JSON: " + message);
    }

    // After the last event: two labels of one id.
    void CheckIds() {
        std::sort(ids_.begin(), ids_.end());
        const auto twice = std::adjacent_find(ids_.begin(), ids_.end());
        if (twice != ids_.end()) reader_.Fail("\"annotations\".\"aps\" has the key \"" + *twice + "\" twice");
    }

private:
    struct Frame {
        Json Value;
        Node Kind;
        std::string Key;  // of the value being parsed, in an object
        Node KeyNode = Node::Skip;
    };

    void Poll() { PollInterrupt(events_++, kReading); }

    [[noreturn]] void Twice(const std::string& key) const {
        std::string path;
        for (std::size_t i = 0; i + 1 < frames_.size(); ++i) path += (i > 0 ? ".\"" : "\"") + frames_[i].Key + "\"";
        reader_.Fail((path.empty() ? std::string("the index") : path) + " has the key \"" + key + "\" twice");
    }

    // What the next value is.
    Node NextNode() const {
        if (frames_.empty()) return Node::Root;
        const Frame& top = frames_.back();
        if (top.Value.is_object()) return top.KeyNode;
        return top.Kind == Node::AppliesTo || top.Kind == Node::RewardAppliesTo ? Node::Value : Node::Skip;
    }

    bool Start(Json container, bool object) {
        Poll();
        const Node node = skipped_ > 0 ? Node::Skip : NextNode();
        if (node == Node::Skip ||
            (!frames_.empty() && (frames_.back().Kind == Node::AppliesTo || frames_.back().Kind == Node::RewardAppliesTo))) {
            ++skipped_;
            return true;
        }
        const bool kept = object ? IsObjectNode(node) : node == Node::AppliesTo || node == Node::RewardAppliesTo;
        frames_.push_back({std::move(container), kept ? node : Node::Opaque, {}, Node::Skip});
        return true;
    }

    bool End() {
        if (skipped_ > 0) {
            --skipped_;
            return true;
        }
        Json value = std::move(frames_.back().Value);
        frames_.pop_back();
        Attach(std::move(value));
        return true;
    }

    bool Value(Json value) {
        Poll();
        if (skipped_ > 0 || NextNode() == Node::Skip) return true;
        Frame* top = frames_.empty() ? nullptr : &frames_.back();
        if (top != nullptr && top->Kind == Node::AppliesTo) {
            if (value == "states" && top->Value.empty()) top->Value.push_back(std::move(value));
            return true;
        }
        if (top != nullptr && top->Kind == Node::RewardAppliesTo) {
            const bool known = value == "states" || value == "choices" || value == "branches";
            if (known && std::find(top->Value.begin(), top->Value.end(), value) == top->Value.end()) {
                top->Value.push_back(std::move(value));
            }
            return true;
        }
        Attach(std::move(value));
        return true;
    }

    // Puts a finished value where it belongs.
    void Attach(Json value) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return;
        }
        Frame& top = frames_.back();
        if (top.Kind == Node::Aps) {
            label_(top.Key, value);
        } else if (top.Value.is_object()) {
            if (top.Value.contains(top.Key)) Twice(top.Key);
            top.Value[top.Key] = std::move(value);
        }
    }

    const IndexReader& reader_;
    Label label_;
    Json root_;
    std::vector<Frame> frames_;  // the kept containers being parsed
    uint64_t skipped_ = 0;       // depth within a skipped container
    uint64_t events_ = 0;
    std::vector<std::string> ids_;
};

// A label of "annotations"."aps": a StateLabel when it is a set of states.
void ReadLabel(const IndexReader& reader, const std::string& id, const Json& ap, Index& index,
               std::unordered_set<std::string>& names) {
    const std::string path = "\"annotations\".\"aps\".\"" + id + "\"";
    if (!ap.is_object()) reader.Fail(path + " is not an object");
    const Json& appliesTo = reader.Array(ap, "applies-to", path);
    if (std::find(appliesTo.begin(), appliesTo.end(), Json("states")) == appliesTo.end()) {
        return;  // not a set of states
    }
    const std::string tp = IndexReader::Key(path, "type");
    const Json& type = reader.Object(ap, "type", path);
    if (reader.String(type, "type", tp) != "bool" || reader.Count(type, "size", tp, UINT64_MAX) != 1) {
        reader.Fail(tp + " " + IndexReader::Shown(type) + " is not a bool of size 1");
    }
    StateLabel label{id, ap.contains("alias") ? reader.String(ap, "alias", path) : id};
    if (!names.insert(label.Name).second) reader.Fail("two labels are named " + Quoted(label.Name));
    index.Labels.push_back(std::move(label));
}

Index ParseIndex(const std::vector<char>& text, const std::string& name) {
    const IndexReader reader(name);
    Index index;
    std::unordered_set<std::string> names;
    IndexBuilder builder(reader, [&](const std::string& id, const Json& ap) { ReadLabel(reader, id, ap, index, names); });
    Json::sax_parse(text.begin(), text.end(), &builder);
    builder.CheckIds();
    const Json& root = builder.Root();
    if (!root.is_object()) reader.Fail("is not a JSON object");
    const auto annotations = root.find("annotations");
    if (annotations != root.end() && annotations->is_object() && annotations->contains("aps")) {
        reader.Object(*annotations, "aps", "\"annotations\"");
    }
    if (annotations != root.end() && annotations->is_object() && annotations->contains("rewards")) {
        const Json& rewards = reader.Object(*annotations, "rewards", "\"annotations\"");
        std::unordered_set<std::string> rewardNames;
        for (const auto& [id, reward] : rewards.items()) {
            const std::string path = "\"annotations\".\"rewards\".\"" + id + "\"";
            if (!reward.is_object()) reader.Fail(path + " is not an object");
            RewardAnnotation annotation;
            annotation.Id = id;
            annotation.Name = reward.contains("alias") ? reader.String(reward, "alias", path) : id;
            if (!rewardNames.insert(annotation.Name).second) {
                reader.Fail("two reward structures are named " + Quoted(annotation.Name));
            }
            const Json& appliesTo = reader.Array(reward, "applies-to", path);
            for (int k = 0; k < 3; ++k) {
                annotation.AppliesTo[k] =
                    std::find(appliesTo.begin(), appliesTo.end(), Json(kRewardKinds[k])) != appliesTo.end();
            }
            const std::string tp = IndexReader::Key(path, "type");
            const Json& type = reader.Object(reward, "type", path);
            const std::string kind = reader.String(type, "type", tp);
            const uint64_t size = reader.Count(type, "size", tp, UINT64_MAX);
            if (!((kind == "double" && size == 64) || (kind == "rational" && size == 128))) {
                reader.Fail(tp + " " + IndexReader::Shown(type) +
                            " is not supported (binary64 \"double\" of size 64, or \"rational\" of size 128)");
            }
            annotation.Rational = kind == "rational";
            index.Rewards.push_back(std::move(annotation));
        }
    }
    const uint64_t version = reader.Count(root, "format-version", "", UINT64_MAX);
    if (version != 1) {
        reader.Fail("format-version " + std::to_string(version) + " is not supported (this reader "
                    "knows version 1)");
    }
    const std::string ts = "\"transition-system\"";
    const Json& system = reader.Object(root, "transition-system", "");
    const std::string time = reader.String(system, "time", ts);
    if (time != "discrete") {
        reader.Fail(IndexReader::Key(ts, "time") + " is \"" + time +
                    "\"; only discrete-time models are supported");
    }
    const uint64_t players = reader.Count(system, "#players", ts, UINT64_MAX);
    if (players > 1) {
        reader.Fail(IndexReader::Key(ts, "#players") + " is " + std::to_string(players) +
                    "; games are not supported");
    }
    index.Dtmc = players == 0;
    if (system.contains("#observations") && reader.Count(system, "#observations", ts, UINT64_MAX) != 0) {
        reader.Fail("partially observable models are not supported");
    }
    index.States = reader.Count(system, "#states", ts, kMaxStates);
    if (index.States == 0) reader.Fail(IndexReader::Key(ts, "#states") + " is 0");
    index.Choices = reader.Count(system, "#choices", ts, kMaxCount);
    index.Branches = reader.Count(system, "#branches", ts, kMaxCount);
    index.InitialStates = reader.Count(system, "#initial-states", ts, index.States);
    if (index.Dtmc && index.Choices != index.States) {
        reader.Fail("a DTMC (\"#players\" 0) has " + std::to_string(index.States) + " states but " +
                    std::to_string(index.Choices) + " choices");
    }
    if (system.contains("branch-probability-type")) {
        const std::string tp = IndexReader::Key(ts, "branch-probability-type");
        const Json& type = reader.Object(system, "branch-probability-type", ts);
        const std::string kind = reader.String(type, "type", tp);
        const uint64_t size = reader.Count(type, "size", tp, UINT64_MAX);
        if (kind == "double" && size == 64) {
            index.Probabilities = ProbabilityType::Binary64;
        } else if (kind == "rational" && size == 128) {
            index.Probabilities = ProbabilityType::Rational;
        } else {
            reader.Fail(tp + " " + IndexReader::Shown(type) +
                        " is not supported (binary64 \"double\" of size 64, or \"rational\" of "
                        "size 128)");
        }
    }
    return index;
}

// Reads and parses index.json, the current member.
Index ReadIndex(ArchiveReader& archive, const ArchiveReader::Member& member, const std::string& name) {
    if (member.Size < 0) Fail(name, kIndex, "has no size");
    if (static_cast<uint64_t>(member.Size) > kMaxIndexBytes) {
        Fail(name, kIndex, "has " + std::to_string(member.Size) + " bytes, more than the " +
                               std::to_string(kMaxIndexBytes >> 20) + " MiB an index may have");
    }
    std::vector<char> text;
    archive.Read(static_cast<uint64_t>(member.Size), member.Size, text);
    return ParseIndex(text, name);
}

std::string LabelMember(const StateLabel& label) {
    return "annotations/aps/" + label.Id + "/states/values.bin";
}

// What a member holds, and so how it is read.
enum class Content { Words, Targets, Probabilities, Rewards };

// A member the reader needs.
struct Member {
    std::string Path;
    uint64_t Bytes;
    Content Kind;
    std::vector<uint64_t>* Words = nullptr;  // for Content::Words
    bool Done = false;
    std::size_t Reward = 0;  // for Content::Rewards: the structure * 3 + the kind
};

std::string ProbabilityText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// Reads branch-to-target.bin into targets, checking each against the
// number of states as it is copied.
void ReadTargets(ArchiveReader& archive, uint64_t bytes, int64_t declared, uint64_t states,
                 std::vector<uint64_t>& targets, const std::string& name) {
    uint64_t largest = 0;
    archive.Read(bytes, declared, targets, [&](uint64_t target) { largest = std::max(largest, target); });
    if (largest < states) return;
    const auto out = std::find_if(targets.begin(), targets.end(), [&](uint64_t target) { return target >= states; });
    Fail(name, kBranchTargets, "branch " + std::to_string(out - targets.begin()) + ": target " +
                                   std::to_string(*out) + " is out of range (" + std::to_string(states) + " states)");
}

// Reads stored binary64 probabilities into values, checking each as it
// arrives; returns how many are 0.
uint64_t ReadBinary64(ArchiveReader& archive, uint64_t branches, int64_t declared,
                      std::vector<TransitionValue>& values, const std::string& name) {
    uint64_t zeros = 0;
    archive.Stream<8>(8 * branches, declared, [&](const char* data, std::size_t count) {
        archive.MakeRoom(values, count, branches);
        const std::size_t first = values.size();
        bool valid = true;
        AppendEach(values, count, [&](std::size_t i) {
            TransitionValue value;
            std::memcpy(&value.Value, data + 8 * i, sizeof value.Value);
            value.Denominator = 0;
            valid &= value.Value >= 0.0 && value.Value <= 1.0;  // false for NaN
            zeros += value.Value == 0.0;
            return value;
        });
        if (valid) return;
        for (std::size_t b = first; b < values.size(); ++b) {
            const double p = values[b].Value;
            if (p >= 0.0 && p <= 1.0) continue;
            const ValueError error = std::isnan(p) ? ValueError::NotANumber
                                     : p < 0       ? ValueError::Negative
                                                   : ValueError::GreaterThanOne;
            Fail(name, kBranchProbabilities, "branch " + std::to_string(b) + ": probability " +
                                                 ProbabilityText(p) + " " + Describe(error));
        }
    });
    return zeros;
}

// A stored rational, exactly: reduced, and a binary64 value when it is
// exactly one. Null, or what is wrong with it.
const char* ExactRational(int64_t numerator, int64_t denominator, TransitionValue& value) {
    if (denominator < 0) return "has a negative denominator";
    if (numerator < 0) return Describe(ValueError::Negative);
    const ValueError error = FractionProbability(static_cast<uint64_t>(numerator),
                                                 static_cast<uint64_t>(denominator), value);
    return error == ValueError::None ? nullptr : Describe(error);
}

// The conversions of the stored rationals met last. A model's
// probabilities take few distinct values, so most rationals are found here
// and need no gcd.
struct RecentRationals {
    struct Entry {
        int64_t Numerator = 0;
        int64_t Denominator = 0;  // positive once a rational is remembered
        TransitionValue Value{};
        bool Remembered() const { return Denominator > 0; }
    };
    Entry Entries[256];

    Entry& Find(int64_t numerator, int64_t denominator) {
        const uint64_t hash = (static_cast<uint64_t>(numerator) * 0x9E3779B97F4A7C15u) ^
                              (static_cast<uint64_t>(denominator) * 0xC2B2AE3D27D4EB4Fu);
        return Entries[hash >> 56];
    }
};

// A stored rational not met lately: converted, checked and remembered.
[[gnu::noinline]] TransitionValue ConvertRational(const int64_t (&stored)[2], uint64_t branch,
                                                  RecentRationals& recent, const std::string& name) {
    TransitionValue value;
    const char* error = ExactRational(stored[0], stored[1], value);
    if (error != nullptr) {
        Fail(name, kBranchProbabilities, "branch " + std::to_string(branch) + ": probability " +
                                             std::to_string(stored[0]) + "/" + std::to_string(stored[1]) +
                                             " " + error);
    }
    recent.Find(stored[0], stored[1]) = {stored[0], stored[1], value};
    return value;
}

// Reads stored rationals (numerator and denominator, signed 64-bit) into
// values, exactly, checking each as it arrives; returns how many are 0.
uint64_t ReadRationals(ArchiveReader& archive, uint64_t branches, int64_t declared,
                       std::vector<TransitionValue>& values, const std::string& name) {
    uint64_t zeros = 0;
    auto recent = std::make_unique<RecentRationals>();
    archive.Stream<16>(16 * branches, declared, [&](const char* data, std::size_t count) {
        archive.MakeRoom(values, count, branches);
        const std::size_t first = values.size();
        AppendEach(values, count, [&](std::size_t i) {
            int64_t stored[2];
            std::memcpy(stored, data + 16 * i, sizeof stored);
            const RecentRationals::Entry& entry = recent->Find(stored[0], stored[1]);
            const TransitionValue value = entry.Remembered() && entry.Numerator == stored[0] &&
                                                  entry.Denominator == stored[1]
                                              ? entry.Value
                                              : ConvertRational(stored, first + i, *recent, name);
            zeros += IsZero(value);
            return value;
        });
    });
    return zeros;
}

std::string RewardMember(const RewardAnnotation& reward, int kind) {
    return "annotations/rewards/" + reward.Id + "/" + kRewardKinds[kind] + "/values.bin";
}

// Reads the rewards of a member, count of them, each checked as it arrives
// (finite, not negative) and kept exactly in rewards.
void ReadRewardValues(ArchiveReader& archive, uint64_t count, int64_t declared, bool rational,
                      RewardStructure& rewards, std::vector<TransitionValue>& values, const std::string& name,
                      const std::string& member) {
    const auto fail = [&](std::size_t i, const std::string& text, const char* error) {
        Fail(name, member, "entry " + std::to_string(i) + ": reward " + text + " " + error);
    };
    if (!rational) {
        archive.Stream<8>(8 * count, declared, [&](const char* data, std::size_t n) {
            archive.MakeRoom(values, n, count);
            for (std::size_t i = 0; i < n; ++i) {
                TransitionValue value;
                std::memcpy(&value.Value, data + 8 * i, sizeof value.Value);
                value.Denominator = 0;
                if (!(value.Value >= 0.0) || std::isinf(value.Value)) {
                    fail(values.size(), ProbabilityText(value.Value),
                         std::isnan(value.Value) || std::isinf(value.Value) ? "is not a finite number" : "is negative");
                }
                value.Value += 0.0;  // -0 is 0
                values.push_back(value);
            }
        });
        return;
    }
    archive.Stream<16>(16 * count, declared, [&](const char* data, std::size_t n) {
        archive.MakeRoom(values, n, count);
        for (std::size_t i = 0; i < n; ++i) {
            int64_t stored[2];
            std::memcpy(stored, data + 16 * i, sizeof stored);
            const std::string text = std::to_string(stored[0]) + "/" + std::to_string(stored[1]);
            if (stored[1] <= 0) fail(values.size(), text, "has a denominator that is not positive");
            if (stored[0] < 0) fail(values.size(), text, "is negative");
            TransitionValue value;
            if (stored[1] == 1 && stored[0] < (int64_t{1} << 53)) {
                value.Value = static_cast<double>(stored[0]);
                value.Denominator = 0;
            } else {
                mpq_class exact(mpz_class(static_cast<long>(stored[0])), mpz_class(static_cast<long>(stored[1])));
                exact.canonicalize();
                value = KeepReward(exact, rewards);
            }
            values.push_back(value);
        }
    });
}

// Checks offsets into count elements: starting at 0, ascending, ending at
// count.
void CheckOffsets(const std::vector<uint64_t>& offsets, uint64_t count, const std::string& name,
                  const char* member) {
    if (offsets.front() != 0) Fail(name, member, "entry 0 is " + std::to_string(offsets.front()) + ", not 0");
    for (std::size_t i = 1; i < offsets.size(); ++i) {
        if (offsets[i] < offsets[i - 1]) {
            Fail(name, member, "entry " + std::to_string(i) + " (" + std::to_string(offsets[i]) +
                                   ") is below entry " + std::to_string(i - 1) + " (" +
                                   std::to_string(offsets[i - 1]) + ")");
        }
    }
    if (offsets.back() != count) {
        Fail(name, member, "the last entry is " + std::to_string(offsets.back()) + ", not " +
                               std::to_string(count));
    }
}

// Leaves out the branches with probability 0.
void DropZeros(ExplicitMdp& mdp) {
    uint64_t kept = 0;
    for (uint64_t c = 0; c + 1 < mdp.ChoiceTransitionStart.size(); ++c) {
        const uint64_t begin = mdp.ChoiceTransitionStart[c];
        const uint64_t end = mdp.ChoiceTransitionStart[c + 1];
        mdp.ChoiceTransitionStart[c] = kept;
        for (uint64_t b = begin; b < end; ++b) {
            if (IsZero(mdp.TransitionValues[b])) continue;
            mdp.TransitionTarget[kept] = mdp.TransitionTarget[b];
            mdp.TransitionValues[kept] = mdp.TransitionValues[b];
            ++kept;
        }
    }
    mdp.ChoiceTransitionStart.back() = kept;
    mdp.TransitionTarget.resize(kept);
    mdp.TransitionValues.resize(kept);
}

// Checks that a bitset over states sets no bit beyond the last state.
void CheckBits(const std::vector<uint64_t>& bits, uint64_t states, const std::string& name,
               const std::string& member) {
    if (states % 64 != 0 && (bits.back() >> (states % 64)) != 0) {
        Fail(name, member, "sets bits beyond the last state");
    }
}


// Where a choice lies in the archive, from the offsets as read: "m.umb:
// choice 77 (branches 120 to 123 of branch-to-probability.bin)".
std::string ChoiceLocation(const std::string& name, const std::vector<uint64_t>& offsets, uint64_t choice) {
    const std::string where = Printable(name) + ": choice " + std::to_string(choice);
    const uint64_t begin = offsets[choice];
    const uint64_t end = offsets[choice + 1];
    if (end <= begin) return where + " (no branches)";
    return where + " (" +
           (end - begin == 1 ? "branch " + std::to_string(begin)
                             : "branches " + std::to_string(begin) + " to " + std::to_string(end - 1)) +
           " of " + kBranchProbabilities + ")";
}

// A label "init" beside state-is-initial.bin must mark the same states:
// otherwise "init" in a property would not be the initial states.
void CheckInitLabel(const std::vector<uint64_t>& label, const std::vector<uint64_t>& initial,
                    const std::string& name, const std::string& member) {
    for (std::size_t w = 0; w < initial.size(); ++w) {
        const uint64_t differ = label[w] ^ initial[w];
        if (differ == 0) continue;
        const uint64_t state = 64 * w + static_cast<uint64_t>(std::countr_zero(differ));
        const bool marked = (label[w] >> (state % 64)) & 1;
        Fail(name, member, std::string("the label \"init\" ") + (marked ? "marks" : "does not mark") + " state " +
                               std::to_string(state) + ", which " + kInitialStates + (marked ? " does not" : "") +
                               " mark as initial; which of them is meant is unclear");
    }
}

Model ParseArchive(ArchiveSource& source, const std::string& name, double tolerance) {
    // index.json comes first in the archives that model checkers write.
    // When it does not, the archive is read again once the index is known
    // (a pipe keeps what it delivered until then).
    auto archive = std::make_unique<ArchiveReader>(source, name);
    ArchiveReader::Member member;
    const auto missingIndex = [&] { FailArchive(name, "member index.json is missing (is this a UMB archive?)"); };
    if (!archive->Next(member)) missingIndex();
    const bool indexFirst = member.Path == kIndex && member.Regular;
    while (!(member.Path == kIndex && member.Regular)) {
        if (!archive->Next(member)) missingIndex();
    }
    const Index index = ReadIndex(*archive, member, name);
    // Every member's path, to refuse one that appears twice: tar -x keeps
    // the last copy, a reader that stops early the first.
    std::unordered_set<std::string> seen;
    if (indexFirst) {
        source.StopKeeping();
        seen.insert(kIndex);
    } else {
        archive.reset();
        source.Rewind();
        archive = std::make_unique<ArchiveReader>(source, name);
    }

    Model model;
    model.Dtmc = index.Dtmc;
    ExplicitMdp& mdp = model.Mdp;
    mdp.StateCount = index.States;
    const uint64_t stateWords = Words(index.States);
    // "init" first, as in the other formats, unless an annotation has that
    // name (which must then mark the initial states); the index has
    // refused two labels of one name.
    Labelling& labels = model.Labels;
    labels.FileName = name;
    const auto initAnnotation = std::find_if(index.Labels.begin(), index.Labels.end(),
                                             [](const StateLabel& label) { return label.Name == "init"; });
    const bool initLabel = initAnnotation == index.Labels.end();
    if (initLabel) AddLabel(labels, "init");
    for (const StateLabel& label : index.Labels) AddLabel(labels, label.Name);
    const std::size_t firstAnnotation = initLabel ? 1 : 0;
    std::vector<uint64_t> initial;

    std::vector<Member> members;
    if (!index.Dtmc) {
        members.push_back({kStateChoices, 8 * (index.States + 1), Content::Words, &mdp.StateChoiceStart});
    }
    members.push_back({kChoiceBranches, 8 * (index.Choices + 1), Content::Words, &mdp.ChoiceTransitionStart});
    members.push_back({kBranchTargets, 8 * index.Branches, Content::Targets});
    if (index.Probabilities != ProbabilityType::AllOne) {
        const uint64_t size = index.Probabilities == ProbabilityType::Binary64 ? 8 : 16;
        members.push_back({kBranchProbabilities, size * index.Branches, Content::Probabilities});
    }
    members.push_back({kInitialStates, 8 * stateWords, Content::Words, &initial});
    for (std::size_t i = 0; i < index.Labels.size(); ++i) {
        members.push_back({LabelMember(index.Labels[i]), 8 * stateWords, Content::Words,
                           &LabelBits(labels, firstAnnotation + i)});
    }
    // The rewards of each structure and kind, as stored; made sparse once all
    // are read.
    model.Rewards.resize(index.Rewards.size());
    std::vector<std::vector<TransitionValue>> rewardValues(3 * index.Rewards.size());
    const uint64_t kindCount[3] = {index.States, index.Choices, index.Branches};
    for (std::size_t r = 0; r < index.Rewards.size(); ++r) {
        model.Rewards[r].Name = index.Rewards[r].Name;
        for (int k = 0; k < 3; ++k) {
            if (!index.Rewards[r].AppliesTo[k]) continue;
            Member reward{RewardMember(index.Rewards[r], k), (index.Rewards[r].Rational ? 16 : 8) * kindCount[k],
                          Content::Rewards};
            reward.Reward = 3 * r + static_cast<std::size_t>(k);
            members.push_back(std::move(reward));
        }
    }
    std::unordered_map<std::string, std::size_t> memberOfPath;
    for (std::size_t i = 0; i < members.size(); ++i) memberOfPath.emplace(members[i].Path, i);

    // Reads every member to the end of the archive, so that a member that
    // appears twice and damaged compressed data are found; rewards and
    // valuations are only decompressed. Each member is checked as it
    // arrives, except the offsets, which are checked once all are there.
    uint64_t zeros = 0;
    while (archive->Next(member)) {
        if (!seen.insert(member.Path).second) FailArchive(name, "member " + member.Path + " appears twice");
        const auto found = member.Regular ? memberOfPath.find(member.Path) : memberOfPath.end();
        if (found == memberOfPath.end()) continue;
        Member& needed = members[found->second];
        switch (needed.Kind) {
            case Content::Words:
                archive->Read(needed.Bytes, member.Size, *needed.Words);
                break;
            case Content::Targets:
                ReadTargets(*archive, needed.Bytes, member.Size, index.States, mdp.TransitionTarget, name);
                break;
            case Content::Probabilities:
                zeros = index.Probabilities == ProbabilityType::Binary64
                            ? ReadBinary64(*archive, index.Branches, member.Size, mdp.TransitionValues, name)
                            : ReadRationals(*archive, index.Branches, member.Size, mdp.TransitionValues, name);
                break;
            case Content::Rewards: {
                const std::size_t r = needed.Reward / 3;
                ReadRewardValues(*archive, kindCount[needed.Reward % 3], member.Size, index.Rewards[r].Rational,
                                 model.Rewards[r], rewardValues[needed.Reward], name, needed.Path);
                break;
            }
        }
        needed.Done = true;
    }
    const std::string note = archive->Finish();
    if (!note.empty()) model.Notes.push_back(note);
    for (const Member& needed : members) {
        if (!needed.Done) FailArchive(name, "member " + needed.Path + " is missing");
    }

    if (index.Dtmc) {
        mdp.StateChoiceStart.resize(index.States + 1);
        std::iota(mdp.StateChoiceStart.begin(), mdp.StateChoiceStart.end(), uint64_t{0});
    } else {
        CheckOffsets(mdp.StateChoiceStart, index.Choices, name, kStateChoices);
    }
    CheckOffsets(mdp.ChoiceTransitionStart, index.Branches, name, kChoiceBranches);
    if (index.Probabilities == ProbabilityType::AllOne) {
        TransitionValue one;
        one.Value = 1.0;
        one.Denominator = 0;
        mdp.TransitionValues.assign(index.Branches, one);
    }

    CheckBits(initial, index.States, name, kInitialStates);
    for (uint64_t w = 0; w < initial.size(); ++w) {
        for (uint64_t word = initial[w]; word != 0; word &= word - 1) {
            model.Initial.push_back(64 * w + static_cast<uint64_t>(std::countr_zero(word)));
        }
    }
    if (model.Initial.size() != index.InitialStates) {
        Fail(name, kInitialStates, "marks " + std::to_string(model.Initial.size()) +
                                       " initial states; the index says " + std::to_string(index.InitialStates));
    }
    if (model.Initial.empty()) Fail(name, kInitialStates, "marks no initial state");
    for (std::size_t i = 0; i < index.Labels.size(); ++i) {
        CheckBits(LabelBits(labels, firstAnnotation + i), index.States, name, LabelMember(index.Labels[i]));
    }
    if (initLabel) {
        LabelBits(labels, 0) = std::move(initial);
    } else {
        const auto i = static_cast<std::size_t>(initAnnotation - index.Labels.begin());
        CheckInitLabel(LabelBits(labels, i), initial, name, LabelMember(index.Labels[i]));
    }
    // Before the branches of probability 0 are left out, so that a choice
    // is named by its branches in the archive.
    CheckChoices(model, tolerance,
                 [&](uint64_t choice) { return ChoiceLocation(name, mdp.ChoiceTransitionStart, choice); });
    // Rewards of branches are folded into their choices while the branches
    // are as stored.
    for (std::size_t r = 0; r < index.Rewards.size(); ++r) {
        RewardStructure& rewards = model.Rewards[r];
        std::vector<RewardEntry> branches;
        std::vector<RewardEntry>* sparse[3] = {&rewards.States, &rewards.Choices, &branches};
        bool* given[3] = {&rewards.StateRewards, &rewards.ChoiceRewards, &rewards.TransitionRewards};
        for (int k = 0; k < 3; ++k) {
            std::vector<TransitionValue>& values = rewardValues[3 * r + static_cast<std::size_t>(k)];
            for (uint64_t i = 0; i < values.size(); ++i) AddReward(*sparse[k], i, values[i]);
            *given[k] = !sparse[k]->empty();
            Release(values);
        }
        if (rewards.TransitionRewards) FoldTransitionRewards(mdp, branches, rewards);
    }
    if (zeros > 0) DropZeros(mdp);
    return model;
}

}  // namespace

Model ParseUmb(std::string_view bytes, const std::string& name, double tolerance) {
    ArchiveSource source(bytes);
    return ParseArchive(source, name, tolerance);
}

Model ReadUmb(const std::string& path, double tolerance) {
    ArchiveSource source(path);
    return ParseArchive(source, path, tolerance);
}

}  // namespace iicheck
