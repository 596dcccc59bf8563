// What iicheck's reductions of the model buy, one change after the other, on
// every shipped model and on generated models of more than ten million
// transitions (iigen's random model and its consensus protocol of six
// processes). Per model and property: the states after each reduction, the
// iterations, the time per iteration, the time of reading and of the
// precomputation, and the peak memory, for
//
//   before               probability-0 states and end components, breadth-first order
//   + probability 1      and the probability-1 states as targets
//   + bisimulation       and the quotient by the coarsest bisimulation
//   + topological order  and the topological order of the states (iicheck's default)
//
// with the ratios to "before", all measured in this one run; and a summary
// of what iicheck's defaults rest on: per model and property, what the
// bisimulation saves in states and total time, and whether the topological
// order takes fewer, as many or MORE iterations than breadth-first order.
// The library runs iicheck's default variant with its default precision
// (1e-6, absolute). Models with several initial states are reduced once and
// iterated once per initial state (counts and times summed). Runs that take
// less than half a second are repeated, and the fastest times kept.
//
// With --report=FILE the tables replace the section "Reductions" of FILE
// (docs/performance.md), or are appended to it.
//
// With --phases instead: the time of each phase (read, analysis, collapse,
// bisimulation, order, the iterations the race gave up, iterate) on large generated models (consensus,
// zeroconf, random), for no reduction, --no-bisimulation and the default;
// the section "Phases".
#include "cli/CommandLine.hpp"
#include "formats/ModelGenerator.hpp"
#include "formats/TraReader.hpp"
#include "formats/UmbReader.hpp"
#include "MemoryCounter.hpp"
#include "pipeline/Pipeline.hpp"
#include "pipeline/Run.hpp"
#include "ReportSection.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace iicheck;

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A model as read.
struct Loaded {
    Model Read;
    double ReadSeconds = 0;
};

struct Query {
    bool Maximize;
    std::string Target;
    std::string Avoid;  // or empty
};

std::string Describe(const Query& property) {
    const std::string target = "\"" + property.Target + "\"";
    return std::string(property.Maximize ? "Pmax" : "Pmin") + "=? [" +
           (property.Avoid.empty() ? "F " + target : "!\"" + property.Avoid + "\" U " + target) + "]";
}

struct Source {
    std::string Name;
    std::function<Loaded()> Read;
    std::vector<Query> Properties;
    int32_t MaxIterations = 0;  // 0: until converged
};

Loaded FromUmb(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto start = std::chrono::steady_clock::now();
    Loaded loaded;
    loaded.Read = ParseUmb(bytes, path.filename().string(), kDefaultSumTolerance);
    loaded.ReadSeconds = Since(start);
    return loaded;
}

// Reads a generated model's text as iicheck reads a .tra and a .lab file.
Loaded FromText(const generator::StringSink& tra, const generator::StringSink& lab) {
    const auto start = std::chrono::steady_clock::now();
    Loaded loaded;
    loaded.Read = ParseTra(tra.Text, "generated.tra", lab.Text, "generated.lab", kDefaultSumTolerance);
    loaded.ReadSeconds = Since(start);
    return loaded;
}

struct Configuration {
    const char* Name;
    PrecomputeOptions Options;
};

const Configuration kConfigurations[] = {
    {"before", {false, false, StateOrder::BreadthFirst}},
    {"+ probability 1", {true, false, StateOrder::BreadthFirst}},
    {"+ bisimulation", {true, true, StateOrder::BreadthFirst}},
    {"+ topological order", {true, true, StateOrder::Topological}},
};

struct Measured {
    ModelSize Collapsed;
    ModelSize Bisimilar;
    uint64_t Iterated = 0;  // states the library got, summed over the initial states
    int64_t Iterations = 0;
    double PrecomputeSeconds = 0;
    double BisimulationSeconds = 0;
    double IterateSeconds = 0;
    std::size_t PeakBytes = 0;
    double Lower = 1;  // the widest interval over the initial states
    double Upper = 0;
    bool Converged = true;
};

// The library's settings for a property, without a progress line.
RunSettings SettingsFor(const Query& property, int32_t maxIterations) {
    RunSettings settings;
    settings.Maximize = property.Maximize;
    settings.PropertyName = Describe(property);
    settings.ShowProgress = false;
    settings.MaxIterations = maxIterations;
    return settings;
}

// From the model as read to the library's answers, as iicheck does it.
Measured Measure(const Loaded& loaded, const Query& property, const PrecomputeOptions& options,
                 const Variant& variant, int32_t maxIterations) {
    Measured measured;
    bench::MemoryCounter::Start();
    {
        Prepared prepared;
        // A copy of the model as read, counted.
        Prepare(loaded.Read, ShorthandProperty(property.Target, property.Avoid, property.Maximize), property.Maximize,
                options, prepared);
        measured.Collapsed = prepared.Collapsed;
        measured.Bisimilar = options.Bisimulation ? prepared.Bisimulation.After : prepared.Collapsed;
        measured.BisimulationSeconds = options.Bisimulation ? prepared.BisimulationSeconds : 0;
        const RunSettings settings = SettingsFor(property, maxIterations);
        for (std::size_t i = 0; i < prepared.Initial.size(); ++i) {
            const ReducedModel reduced = ReduceFrom(prepared, i);
            const RunOutcome outcome = RunLibrary(reduced.Mdp(), variant, settings);
            measured.Iterated += reduced.StateCount();
            measured.Iterations += outcome.Iterations;
            measured.IterateSeconds += outcome.Seconds;
            measured.Lower = std::min(measured.Lower, outcome.Result.Lower);
            measured.Upper = std::max(measured.Upper, outcome.Result.Upper);
            measured.Converged = measured.Converged && outcome.Result.Status == IterationStatusConverged;
        }
        measured.PrecomputeSeconds = prepared.PrecomputeSeconds;
    }
    measured.PeakBytes = bench::MemoryCounter::Stop();
    return measured;
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string Ratio(double value, double before) {
    return before > 0 ? Format("%.3g", value / before) : "";
}

double Total(const Measured& m) { return m.PrecomputeSeconds + m.IterateSeconds; }

// One Markdown table: a row per configuration.
std::string Table(const Source& source, const Loaded& loaded, const Query& property,
                  const std::vector<Measured>& rows) {
    std::string out = "\n#### " + source.Name + ": `" + Describe(property) + "`\n\n";
    const ExplicitMdp& mdp = loaded.Read.Mdp;
    const std::size_t initial = loaded.Read.Initial.size();
    out += std::to_string(mdp.StateCount) + " states, " + std::to_string(mdp.ChoiceCount()) + " choices, " +
           std::to_string(mdp.TransitionCount()) + " transitions" +
           (initial > 1 ? ", " + std::to_string(initial) + " initial states" : "") +
           "; read in " + Format("%.3g", loaded.ReadSeconds) + " s.\n\n";
    out += "| | states collapsed | bisimilar | iterated | iterations | / before | ms per iteration | / before "
           "| precompute s (bisimulation) | iterate s | total s | / before | peak MB | / before |\n"
           "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    const Measured& before = rows[0];
    auto perIteration = [](const Measured& m) {
        return m.Iterations > 0 ? m.IterateSeconds / static_cast<double>(m.Iterations) : 0.0;
    };
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Measured& m = rows[i];
        out += std::string("| ") + kConfigurations[i].Name + (m.Converged ? "" : " (iteration limit)") + " | " +
               std::to_string(m.Collapsed.States) + " | " + std::to_string(m.Bisimilar.States) + " | " +
               std::to_string(m.Iterated) + " | " + std::to_string(m.Iterations) + " | " +
               Ratio(static_cast<double>(m.Iterations), static_cast<double>(before.Iterations)) + " | " +
               Format("%.3g", perIteration(m) * 1e3) + " | " + Ratio(perIteration(m), perIteration(before)) +
               " | " + Format("%.3g", m.PrecomputeSeconds) + " (" + Format("%.3g", m.BisimulationSeconds) +
               ") | " + Format("%.3g", m.IterateSeconds) + " | " + Format("%.3g", Total(m)) + " | " +
               Ratio(Total(m), Total(before)) + " | " + Format("%.1f", static_cast<double>(m.PeakBytes) / 1e6) +
               " | " + Ratio(static_cast<double>(m.PeakBytes), static_cast<double>(before.PeakBytes)) + " |\n";
    }
    return out;
}

// One row of the summary: what the defaults are decided on.
std::string SummaryRow(const Source& source, const Query& property, const std::vector<Measured>& rows) {
    const Measured& one = rows[1];
    const Measured& bisimilar = rows[2];
    const Measured& topological = rows[3];
    const bool converged = bisimilar.Converged && topological.Converged;
    const char* verdict = !converged ? "(iteration limit)"
                          : topological.Iterations < bisimilar.Iterations ? "fewer"
                          : topological.Iterations == bisimilar.Iterations ? "same"
                                                                           : "MORE";
    return "| " + source.Name + ": `" + Describe(property) + "` | " +
           Ratio(static_cast<double>(bisimilar.Bisimilar.States), static_cast<double>(one.Collapsed.States)) +
           " | " + Ratio(Total(bisimilar), Total(one)) + " | " + std::to_string(bisimilar.Iterations) + " | " +
           std::to_string(topological.Iterations) + " " + verdict + " | " +
           Ratio(topological.IterateSeconds, bisimilar.IterateSeconds) + " |\n";
}

// The phases of iicheck's run on large generated models, for three ways of
// reducing them: none at all (probability-0 states and end components only,
// breadth-first order, as iicheck 1.0), iicheck --no-bisimulation, and
// iicheck's default. Each run once from the model as read; the library runs
// the variant iicheck would pick for the model it gets.
struct PhaseRun {
    PhaseSeconds Phases;
    double IterateSeconds = 0;
    int64_t Iterations = 0;
    uint64_t Iterated = 0;
    BisimulationStats Bisimulation;
    std::string Variant;
    double Lower = 1;
    double Upper = 0;
};

PhaseRun RunPhases(const Loaded& loaded, const Query& property, const PrecomputeOptions& options,
                   int32_t maxIterations) {
    PhaseRun run;
    const RunSettings settings = SettingsFor(property, maxIterations);
    auto variantOf = [](const ReducedModel& model) {
        std::vector<std::string> notes;
        return VariantFor(CommandLine(), model.Mdp(), notes);
    };
    // The race of the bisimulation against the iterations, as iicheck runs it.
    RunOutcome settled;
    const TrialRun trial = [&](const ReducedModel& model, std::size_t, int32_t sweeps) {
        RunSettings capped = settings;
        const bool ours = maxIterations == 0 || sweeps < maxIterations;
        if (ours) capped.MaxIterations = sweeps;
        RunOutcome outcome = RunLibrary(model.Mdp(), variantOf(model), capped);
        if (ours && outcome.Result.Status == IterationStatusStopped) return false;
        settled = std::move(outcome);
        return true;
    };
    Prepared prepared;
    Prepare(loaded.Read, prepared);
    std::vector<std::string> notes;
    PrepareProperty(prepared, ShorthandProperty(property.Target, property.Avoid, property.Maximize),
                    property.Maximize, options, true, notes, trial);
    run.Bisimulation = prepared.Bisimulation;
    const std::vector<InitialAnswer> sources = AnswerSources(prepared);
    for (std::size_t i = 0; i < prepared.Initial.size(); ++i) {
        if (sources[i].Source != AnswerSource::Library) continue;
        const ReducedModel reduced = ReduceFrom(prepared, i);
        const Variant variant = variantOf(reduced);
        run.Variant = std::string(FpuToString(variant.Fpu)) + (variant.Sequential ? ", sequential" : ", interleaved");
        const RunOutcome outcome = i == prepared.Settled ? settled : RunLibrary(reduced.Mdp(), variant, settings);
        run.Iterated += reduced.StateCount();
        run.Iterations += outcome.Iterations;
        run.IterateSeconds += outcome.Seconds;
        run.Lower = std::min(run.Lower, outcome.Result.Lower);
        run.Upper = std::max(run.Upper, outcome.Result.Upper);
    }
    run.Phases = prepared.Phases;
    return run;
}

double Total(const Loaded& loaded, const PhaseRun& run) {
    return loaded.ReadSeconds + run.Phases.Analysis + run.Phases.Collapse + run.Phases.Bisimulation +
           run.Phases.Order + run.Phases.Trials + run.IterateSeconds;
}

struct PhaseSource {
    std::string Name;
    std::function<Loaded()> Read;
    std::vector<Query> Properties;
    int32_t MaxIterations = 0;
};

// Returns false when the runs' intervals are apart.
bool PhaseSection(std::string& section) {
    const Configuration configurations[] = {
        {"no reduction", {false, false, StateOrder::BreadthFirst}},
        {"--no-bisimulation", {true, false, StateOrder::Topological}},
        {"default", {true, true, StateOrder::Topological}},
    };
    auto text = [](auto write) {
        return [write] {
            generator::StringSink tra, lab;
            write(tra, lab);
            return FromText(tra, lab);
        };
    };
    const PhaseSource sources[] = {
        {"consensus, 6 processes, K = 2",
         text([](auto& tra, auto& lab) { generator::Consensus(6, 2).Write(tra, lab); }),
         {{true, "target2", ""}}},
        {"zeroconf, K = 8, no reset (binary64)",
         text([](auto& tra, auto& lab) { generator::Zeroconf(8, false, true).Write(tra, lab); }),
         {{false, "target1", ""}, {true, "target1", ""}}},
        {"random, 10M transitions (first 100 iterations)",
         text([](auto& tra, auto& lab) { generator::WriteModel(10'000'000, 1, false, tra, lab); }),
         {{true, "goal", ""}},
         100},
    };
    section += "| model: property | reduction | read s | analysis s | collapse s | bisimulation s | order s | "
               "trials s | iterate s | total s | / --no-bisimulation | states iterated | iterations | variant |\n"
               "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    for (const PhaseSource& source : sources) {
        std::fprintf(stderr, "%s: reading\n", source.Name.c_str());
        const Loaded loaded = source.Read();
        const ExplicitMdp& mdp = loaded.Read.Mdp;
        for (const Query& property : source.Properties) {
            std::vector<PhaseRun> runs;
            for (const Configuration& configuration : configurations) {
                std::fprintf(stderr, "%s, %s: %s\n", source.Name.c_str(), Describe(property).c_str(),
                             configuration.Name);
                runs.push_back(RunPhases(loaded, property, configuration.Options, source.MaxIterations));
                if (runs.back().Lower > runs[0].Upper || runs.back().Upper < runs[0].Lower) return false;
            }
            for (std::size_t c = 0; c < runs.size(); ++c) {
                const PhaseRun& run = runs[c];
                const BisimulationStats& b = run.Bisimulation;
                std::string bisimulation = c == 2 ? Format("%.3g", run.Phases.Bisimulation) : "";
                if (c == 2 && b.Stopped) bisimulation += " (stopped: " + std::string(Describe(b.Why)) + ")";
                section += "| " + (c == 0 ? source.Name + " (" + std::to_string(mdp.TransitionCount()) +
                                                " transitions): `" + Describe(property) + "`"
                                          : std::string()) +
                           " | " + configurations[c].Name + " | " + Format("%.3g", loaded.ReadSeconds) + " | " +
                           Format("%.3g", run.Phases.Analysis) + " | " + Format("%.3g", run.Phases.Collapse) +
                           " | " + bisimulation + " | " + Format("%.3g", run.Phases.Order) + " | " +
                           (c == 2 ? Format("%.3g", run.Phases.Trials) : std::string()) + " | " +
                           Format("%.3g", run.IterateSeconds) + " | " + Format("%.3g", Total(loaded, run)) +
                           " | " + Ratio(Total(loaded, run), Total(loaded, runs[1])) + " | " +
                           std::to_string(run.Iterated) + " | " + std::to_string(run.Iterations) + " | " +
                           run.Variant + " |\n";
            }
            std::fputs(section.c_str(), stdout);
            std::fflush(stdout);
        }
    }
    return true;
}

std::vector<Source> Sources(bool generated) {
    std::vector<Source> sources;
    auto shipped = [&](const char* name, std::vector<Query> properties) {
        const std::filesystem::path path =
            std::filesystem::path(INTERVAL_ITERATION_MODELS) / name / (std::string(name) + ".umb");
        sources.push_back({name, [path] { return FromUmb(path); }, std::move(properties)});
    };
    shipped("coin2_K4", {{false, "target1", ""}, {true, "target2", ""}});
    shipped("csma2_2", {{false, "target1", "avoid"}, {true, "target1", "avoid"}});
    shipped("firewire_abst_d200", {{false, "target1", ""}, {true, "target1", ""}});
    shipped("wlan0_collide", {{true, "target1", ""}});
    shipped("zeroconf_reset_K4", {{false, "target1", ""}, {true, "target1", ""}});
    shipped("dining_crypt3", {{false, "target1", ""}, {true, "target1", ""}});
    // DTMCs: one choice per state, so the maximum is the probability.
    shipped("dice", {{true, "target1", ""}, {true, "target2", ""}, {true, "target2", "avoid"}});
    shipped("brp_N64_MAX4", {{true, "target1", ""}, {true, "target2", ""}, {true, "target1", "avoid"}});
    if (!generated) return sources;
    // The random model takes hundreds of iterations: to the end at a hundred
    // thousand transitions, the first hundred at ten million.
    for (const uint64_t transitions : {100'000, 10'000'000}) {
        const bool large = transitions >= 1'000'000;
        sources.push_back({"iigen random, " + std::to_string(transitions / (large ? 1'000'000 : 1'000)) +
                               (large ? "M" : "k") + " transitions",
                           [transitions] {
                               generator::StringSink tra, lab;
                               generator::WriteModel(transitions, 1, false, tra, lab);
                               return FromText(tra, lab);
                           },
                           {{true, "goal", ""}, {false, "goal", ""}},
                           large ? 100 : 0});
    }
    sources.push_back({"iigen consensus, 6 processes, K = 4",
                       [] {
                           generator::StringSink tra, lab;
                           generator::Consensus(6, 4).Write(tra, lab);
                           return FromText(tra, lab);
                       },
                       {{false, "target1", ""}, {true, "target2", ""}}});
    return sources;
}

}  // namespace

int main(int argc, char** argv) {
    std::string report;
    bool generated = true;
    bool phases = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--report=", 9) == 0) {
            report = argv[i] + 9;
        } else if (std::strcmp(argv[i], "--shipped-only") == 0) {
            generated = false;
        } else if (std::strcmp(argv[i], "--phases") == 0) {
            phases = true;
        } else {
            std::fprintf(stderr, "Usage: ReductionBenchmark [--shipped-only | --phases] [--report=FILE]\n");
            return 1;
        }
    }
    if (phases) {
        std::string table;
        if (!PhaseSection(table)) {
            std::fprintf(stderr, "error: the reductions gave intervals apart\n");
            return 2;
        }
        if (!report.empty()) {
            bench::ReplaceSection(
                report, "Phases",
                "## Phases\n\nMeasured by `build/bench/ReductionBenchmark --phases --report=docs/performance.md` "
                "on " + bench::ProcessorName() +
                    ", precision 1e-6 absolute, one run each (this machine is shared: seconds vary by a "
                    "third from run to run, ratios within one run less). Where the time of `iicheck` goes on "
                    "large generated models, from the model as read (its text parsed in memory): the graph "
                    "analysis (probability 0 and 1, end components), collapsing by it, the bisimulation, the "
                    "order of the states, the iterations that the race with the bisimulation began and "
                    "gave up (trials) and the iterations, for no reduction at all (as `iicheck` 1.0), "
                    "`--no-bisimulation` and the default; the variant is the one `iicheck` picks for the "
                    "model the library gets.\n\n" +
                    table);
        }
        return 0;
    }
    const Variant variant = CommandLine().Chosen;
    std::string tables;
    std::string summary =
        "| model: property | states: bisimilar / collapsed | total s: with / without bisimulation | "
        "iterations, breadth-first | topological | iterate s: topological / breadth-first |\n"
        "|---|---|---|---|---|---|\n";
    for (const Source& source : Sources(generated)) {
        std::fprintf(stderr, "%s: reading\n", source.Name.c_str());
        const Loaded loaded = source.Read();
        for (const Query& property : source.Properties) {
            std::vector<Measured> rows;
            for (const Configuration& configuration : kConfigurations) {
                std::fprintf(stderr, "%s, %s: %s\n", source.Name.c_str(), Describe(property).c_str(),
                             configuration.Name);
                // Small models again and again, for times above the clock's noise:
                // the fastest of each.
                Measured best = Measure(loaded, property, configuration.Options, variant, source.MaxIterations);
                double spent = Total(best);
                for (int repeat = 1; repeat < 50 && spent < 0.5; ++repeat) {
                    const Measured again = Measure(loaded, property, configuration.Options, variant, source.MaxIterations);
                    spent += Total(again);
                    best.PrecomputeSeconds = std::min(best.PrecomputeSeconds, again.PrecomputeSeconds);
                    best.BisimulationSeconds = std::min(best.BisimulationSeconds, again.BisimulationSeconds);
                    best.IterateSeconds = std::min(best.IterateSeconds, again.IterateSeconds);
                }
                rows.push_back(best);
                if (rows.back().Lower > rows[0].Upper || rows.back().Upper < rows[0].Lower) {
                    std::fprintf(stderr, "error: [%.17g, %.17g] is apart from [%.17g, %.17g]\n",
                                 rows.back().Lower, rows.back().Upper, rows[0].Lower, rows[0].Upper);
                    return 2;
                }
            }
            const std::string table = Table(source, loaded, property, rows);
            std::fputs(table.c_str(), stdout);
            std::fflush(stdout);
            tables += table;
            summary += SummaryRow(source, property, rows);
        }
    }
    if (!report.empty()) {
        const std::string section =
            "## Reductions\n\n"
            "Measured by `build/bench/ReductionBenchmark --report=docs/performance.md` on " +
            bench::ProcessorName() + ", " + Describe(variant) +
            ", precision 1e-6 absolute. What each reduction of `iicheck` buys, one after the other: "
            "\"before\" removes the probability-0 states and collapses end components, in breadth-first "
            "order (as `iicheck` 1.0); \"+ probability 1\" also makes the probability-1 states targets; "
            "\"+ bisimulation\" iterates on the quotient by the coarsest bisimulation; \"+ topological "
            "order\" numbers the states by strongly connected components (`iicheck`'s default). States: "
            "after collapsing, after the bisimulation, and what the library iterates on (summed over the "
            "initial states). Precompute: the analysis, the reduction, the bisimulation and the order, "
            "after reading; the peak memory counts the model as read, the precomputation and the "
            "library's call. Ratios are to \"before\", all measured in one run.\n\n"
            "What the defaults rest on: the bisimulation (both in breadth-first order: its states and the total "
            "time of precomputation and iteration against \"+ probability 1\"), and the topological order "
            "against breadth-first order (both on the quotient: the iterations, \"fewer\", \"same\" or "
            "\"MORE\", and the iteration time). Iteration counts are exact; times are of single runs (the "
            "fastest of repeats below half a second), so they carry the machine's noise: the bisimulation, the "
            "same work in the last two rows of a table, shows how much.\n\n" +
            summary + tables;
        bench::ReplaceSection(report, "Reductions", section);
    }
    return 0;
}
