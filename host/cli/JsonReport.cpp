#include "cli/JsonReport.hpp"

#include "analysis/StateOrder.hpp"
#include "support/Text.hpp"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace iicheck {
namespace {

using Json = nlohmann::ordered_json;

// Text from the input or the library: printable, as everywhere iicheck
// shows it (non-UTF-8 bytes and control characters spelled out).
Json String(std::string_view text) { return Printable(text); }

Json Strings(const std::vector<std::string>& texts) {
    Json list = Json::array();
    for (const std::string& text : texts) list.push_back(String(text));
    return list;
}

// A number, or null when it is not finite.
Json Number(double value) { return std::isfinite(value) ? Json(value) : Json(nullptr); }

// A bound: a number, "inf" for an infinite expected reward (JSON has no
// infinity), or null when there is none (NaN).
Json Bound(double value) {
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return Number(value);
}

// value to the given significant digits: estimates (half-widths, achieved
// precisions, narrowed epsilons) are shown with 6.
Json Rounded(double value, int digits) {
    if (!std::isfinite(value)) return nullptr;
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return std::strtod(text, nullptr);
}

// Times in seconds, to the microsecond.
Json Seconds(double seconds) { return std::round(seconds * 1e6) / 1e6; }

Json Size(const ModelSize& size) {
    return {{"states", size.States}, {"choices", size.Choices}, {"transitions", size.Transitions}};
}

const char* SourceName(AnswerSource source) {
    switch (source) {
        case AnswerSource::Precomputation: return "precomputation";
        case AnswerSource::Earlier: return "shared";
        default: return "library";
    }
}

// How an expected reward's upper bound was obtained (null for a probability).
Json UpperBoundJson(const InitialRuns& runs, const VariantRun& run) {
    if (!run.Outcome.Reward) return nullptr;
    if (runs.Source == AnswerSource::Precomputation) return "precomputation";
    if (runs.Source == AnswerSource::Earlier) return "shared";
    const std::string certified = CertifiedUpperBound(run.Outcome);
    return certified.empty() ? Json(nullptr) : String(certified);
}

Json RunJson(const Variant& variant, const InitialRuns& runs, const VariantRun& run) {
    const RunOutcome& outcome = run.Outcome;
    const IterationResult& result = outcome.Result;
    const bool bounds = !std::isnan(result.Lower) && !std::isnan(result.Upper);
    Json epsilons = Json::array();
    for (double epsilon : run.Epsilons) epsilons.push_back(Rounded(epsilon, 6));
    Json messages = Json::array();
    for (const LibraryMessage& message : outcome.Messages) {
        messages.push_back({{"severity", SeverityName(message.Severity)}, {"text", String(message.Text)}});
    }
    // Everything before "iterations" depends on the model and the variant
    // only: the tests compare it between the formats of a model.
    Json json;
    json["fpu"] = FpuToString(variant.Fpu);
    json["precision"] = PrecisionToString(variant.Precision);
    json["rounding"] = RoundingToString(variant.Rounding);
    json["layout"] = variant.Sequential ? "sequential" : "interleaved";
    json["initial_state"] = runs.State;
    json["source"] = SourceName(runs.Source);
    json["same_as"] = runs.Source == AnswerSource::Earlier ? Json(runs.SameAs) : Json(nullptr);
    json["reduced"] = runs.Source == AnswerSource::Precomputation ? Json(nullptr) : Size(runs.Reduced);
    json["status"] = result.Status;
    json["status_text"] = String(StatusText(variant, outcome));
    json["bounds_consistent"] = bounds ? Json(BoundsConsistent(result, outcome.Reward)) : Json(nullptr);
    json["guaranteed"] = Guaranteed(run);
    json["lower"] = Bound(result.Lower);
    json["upper"] = Bound(result.Upper);
    json["midpoint"] = bounds ? Bound(result.Lower / 2 + result.Upper / 2) : nullptr;
    const double halfWidth = result.Lower == result.Upper ? 0.0 : result.Upper / 2 - result.Lower / 2;
    json["half_width"] = !bounds ? Json(nullptr) : std::isinf(halfWidth) ? Json("inf") : Rounded(halfWidth, 6);
    json["upper_bound"] = UpperBoundJson(runs, run);
    json["iterations"] = outcome.Iterations;
    json["achieved_precision"] =
        result.Status == IterationStatusError ? Json(nullptr) : Rounded(outcome.AchievedPrecision, 6);
    json["epsilons"] = std::move(epsilons);
    json["verdict"] = run.Threshold ? Json(VerdictText(run.Answer)) : Json(nullptr);
    json["verdict_reason"] = run.Threshold && !run.Reason.empty() ? String(run.Reason) : Json(nullptr);
    json["seconds"] = Seconds(run.Seconds);
    json["messages"] = std::move(messages);
    return json;
}

Json PropertyJson(const PropertyReport& property) {
    const Property& spec = property.Spec;
    const PrecomputeCounts& counts = property.Counts;
    Json json;
    json["property"] = String(spec.Text);
    json["name"] = spec.Name.empty() ? Json(nullptr) : String(spec.Name);
    json["direction"] = property.Maximize ? "max" : "min";
    json["target"] = String(ExpressionText(spec.Target));
    json["avoid"] = spec.HasAvoid ? String(ExpressionText(spec.Avoid)) : Json(nullptr);
    json["threshold"] = spec.HasThreshold ? Json{{"comparison", ComparisonText(spec.Bound.Compare)},
                                                 {"value", String(spec.Bound.Text)}}
                                          : Json(nullptr);
    json["complement_of"] = spec.Complement ? String(spec.ComplementText) : Json(nullptr);
    json["reward"] = property.Reward ? Json{{"structure", property.RewardStructure.empty()
                                                              ? Json(nullptr)
                                                              : String(property.RewardStructure)},
                                            {"kinds", property.RewardKinds},
                                            {"infinite", counts.Zero},
                                            {"inexact", property.InexactRewards}}
                                     : Json(nullptr);
    json["precomputation"] = {{"reachable", counts.Reachable},
                              {"targets", counts.Targets},
                              {"zero", counts.Zero},
                              {"one", counts.One},
                              {"other", counts.Maybe},
                              {"end_components", counts.Components},
                              {"end_component_states", counts.ComponentStates}};
    json["collapsed"] = Size(property.Collapsed);
    if (property.Options.Bisimulation) {
        const BisimulationStats& bisimulation = property.Bisimulation;
        Json quotient = Size(bisimulation.After);
        quotient["rounds"] = bisimulation.Rounds;
        quotient["stopped"] = bisimulation.Stopped;
        quotient["stop_reason"] = bisimulation.Stopped ? Json(Describe(bisimulation.Why)) : Json(nullptr);
        json["bisimulation"] = std::move(quotient);
    } else {
        json["bisimulation"] = nullptr;
    }
    json["order"] = OrderName(property.Options.Order);
    json["notes"] = Strings(property.Notes);
    json["seconds"] = {{"precompute", Seconds(property.PrecomputeSeconds)},
                       {"analysis", Seconds(property.Phases.Analysis)},
                       {"collapse", Seconds(property.Phases.Collapse)},
                       {"bisimulation", Seconds(property.BisimulationSeconds)},
                       {"order", Seconds(property.Phases.Order)},
                       {"trials", Seconds(property.Phases.Trials)},
                       {"iterate", Seconds(IterateSeconds(property))}};
    Json runs = Json::array();
    for (const InitialRuns& initial : property.Runs) {
        for (std::size_t v = 0; v < initial.Runs.size(); ++v) {
            runs.push_back(RunJson(property.Variants[v], initial, initial.Runs[v]));
        }
    }
    json["runs"] = std::move(runs);
    return json;
}

Json DocumentJson(const Report& report) {
    const Prepared& model = report.Model;
    const Request& asked = report.Asked;
    Json properties = Json::array();
    double precompute = 0, iterate = 0;
    for (const PropertyReport& property : report.Properties) {
        properties.push_back(PropertyJson(property));
        precompute += property.PrecomputeSeconds;
        iterate += IterateSeconds(property);
    }
    Json json;
    json["schema"] = 1;
    json["iicheck_version"] = IICHECK_VERSION;
    json["library_version"] = INTERVAL_ITERATION_VERSION;
    json["error"] = nullptr;
    if (report.Error) json["error"] = {{"exit_code", report.Error->ExitCode}, {"message", String(report.Error->Message)}};
    json["model"] = nullptr;
    if (report.Read) {
        json["model"] = {{"file", String(report.ModelFile)},
                         {"labels_file", report.Format == ModelFormat::Tra ? String(report.LabelsFile) : Json(nullptr)},
                         {"format", FormatName(report.Format)},
                         {"type", model.Dtmc ? "DTMC" : "MDP"},
                         {"states", model.States},
                         {"choices", model.Choices},
                         {"transitions", model.Transitions},
                         {"initial_states", model.Initial},
                         {"sum_tolerance", Number(asked.SumTolerance)}};
    }
    json["precision"] = {
        {"epsilon", Number(asked.Epsilon)}, {"relative", asked.Relative}, {"max_iterations", asked.MaxIterations}};
    json["properties"] = std::move(properties);
    json["notes"] = Strings(report.Notes);
    json["seconds"] = {{"read", Seconds(model.ReadSeconds)}, {"precompute", Seconds(precompute)},
                       {"iterate", Seconds(iterate)}};
    return json;
}

bool IsContainer(const Json& value) { return value.is_object() || value.is_array(); }

// The layout: the document and its objects down to the properties one
// member a line, the list of runs one run a line, everything deeper and
// every list of plain values on one line. The library writes the keys and
// the values.
void Write(const Json& value, int depth, std::string& out) {
    if (!IsContainer(value) || value.empty()) {
        out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
        return;
    }
    bool nested = false;
    for (const Json& inner : value) nested = nested || IsContainer(inner);
    const bool lines = value.is_object() ? depth <= 2 : nested && depth <= 3;
    const std::string indent(2 * static_cast<std::size_t>(depth + 1), ' ');
    const char* separator = lines ? ",\n" : ", ";
    out += value.is_object() ? '{' : '[';
    if (lines) out += '\n';
    bool first = true;
    for (auto member = value.begin(); member != value.end(); ++member) {
        if (!first) out += separator;
        first = false;
        if (lines) out += indent;
        if (value.is_object()) out += Json(member.key()).dump() + ": ";
        Write(*member, depth + 1, out);
    }
    if (lines) out += '\n' + std::string(2 * static_cast<std::size_t>(depth), ' ');
    out += value.is_object() ? '}' : ']';
}

}  // namespace

std::string ResultJson(const Report& report) {
    std::string out;
    Write(DocumentJson(report), 0, out);
    return out + '\n';
}

}  // namespace iicheck
