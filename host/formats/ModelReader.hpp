// The one interface of the model readers. Every file format fills the same
// record (the model, its labels, its initial states), so that the
// precomputation and the rest of iicheck do not know where a model came
// from. Each format has its own file behind it:
//
//   .tra + .lab   PRISM's explicit text format   TraReader.hpp
//   .drn          Storm's explicit text format   DrnReader.hpp
//   .umb          the binary exchange format     UmbReader.hpp
//                 (a tar archive, plain, gzip or xz)
//
// Every reader refuses a malformed file with a one-line InputError naming the
// file and the line or member, and ends with CheckChoices.
#pragma once

#include "model/ExplicitModel.hpp"
#include "model/Rewards.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// The most states a reader accepts: far more than fits in memory with one
// choice each, few enough that the per-state arrays can be allocated.
constexpr uint64_t kMaxStates = uint64_t{1} << 34;

struct Model {
    ExplicitMdp Mdp;                 // a DTMC has one choice per state
    Labelling Labels;                // "init" among them
    std::vector<uint64_t> Initial;   // the initial states, ascending, at least one
    bool Dtmc = false;
    std::vector<std::string> Notes;  // one line each, about what was read
    std::vector<RewardStructure> Rewards;  // as the file declares them
};

// The check every reader ends with: CheckStochastic, with the reader's way
// of naming where a choice is written; its note goes to model.Notes.
void CheckChoices(Model& model, double tolerance, const ChoiceLocator& locate);

enum class ModelFormat { Tra, Drn, Umb };

// "tra", "drn", "umb".
const char* FormatName(ModelFormat format);

// The format of --format NAME; nullopt for an unknown name.
std::optional<ModelFormat> ParseFormatName(std::string_view name);

// Where a model is.
struct ModelFiles {
    ModelFormat Format = ModelFormat::Tra;
    std::string Model;   // the .tra, .drn or .umb file
    std::string Labels;  // the .lab file of a .tra, else empty
    // The reward files of a .tra: the .srew and .trew of its name that
    // exist, or those given (--rewards).
    std::vector<std::string> Rewards = {};
};

// The files that the command line names (one model file, or a .tra and a
// .lab), in the given format or else the one their name says: .drn is DRN;
// .umb, .umb.gz and .umb.xz are UMB; anything else is a .tra with the .lab
// of the same name. A folder NAME stands for NAME/NAME with an extension,
// and so does a path without one: the first of .tra, .drn, .umb, .umb.gz
// that exists (of the given format's only). An InputError for two files that
// are not a .tra and its .lab. A .tra takes the reward files given (each a
// .srew or a .trew), or else the .srew and .trew of its name that exist; the
// other formats hold their rewards, so reward files are refused for them.
ModelFiles ResolveModelFiles(const std::vector<std::string>& files, std::optional<ModelFormat> format,
                             const std::vector<std::string>& rewardFiles = {});

// Reads the model; each file is held only while it is read.
Model ReadModel(const ModelFiles& files, double tolerance);

}  // namespace iicheck
