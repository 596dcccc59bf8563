#include "formats/ModelWriter.hpp"

#include "model/ExactValue.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>
#include <set>

namespace iicheck {
namespace {

la_ssize_t AppendTo(archive*, void* client, const void* buffer, size_t length) {
    static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

template <typename T>
std::string_view Bytes(const std::vector<T>& array) {
    return {reinterpret_cast<const char*>(array.data()), array.size() * sizeof(T)};
}

// A probability as the rational a UMB file stores: numerator, denominator.
TransitionValue AsRational(const TransitionValue& value) {
    if (value.Denominator != 0) return value;
    int exponent;
    const double fraction = std::frexp(value.Value, &exponent);
    int64_t numerator = static_cast<int64_t>(std::ldexp(fraction, 53));
    int shift = 53 - exponent;
    while (shift > 0 && numerator % 2 == 0) {
        numerator /= 2;
        --shift;
    }
    if (shift > 62) {
        throw InputError("the binary64 probability " + std::to_string(value.Value) +
                         " is no rational of 64-bit integers, and other values are no binary64 values");
    }
    TransitionValue rational;
    rational.Numerator = numerator;
    rational.Denominator = int64_t{1} << shift;
    return rational;
}

// A label's id in the archive: lower-case letters, digits, '_' and '-',
// unique.
std::string LabelId(const std::string& name, std::set<std::string>& taken) {
    std::string id;
    for (const char c : name) {
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        const bool kept = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') || lower == '-';
        id += kept ? lower : '_';
    }
    std::string unique = id;
    for (int k = 2; !taken.insert(unique).second; ++k) unique = id + "-" + std::to_string(k);
    return unique;
}

}  // namespace

std::string TarArchive(const std::vector<std::pair<std::string, std::string_view>>& members,
                       Compression compression) {
    std::string bytes;
    const std::unique_ptr<archive, int (*)(archive*)> writer(archive_write_new(), archive_write_free);
    archive_write_set_format_ustar(writer.get());
    if (compression == Compression::Gzip) archive_write_add_filter_gzip(writer.get());
    if (compression == Compression::Xz) archive_write_add_filter_xz(writer.get());
    // Whole 512-byte blocks, not the default 10 KiB records.
    archive_write_set_bytes_per_block(writer.get(), 512);
    archive_write_open(writer.get(), &bytes, nullptr, AppendTo, nullptr);
    for (const auto& [path, data] : members) {
        const std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                            archive_entry_free);
        archive_entry_set_pathname(entry.get(), path.c_str());
        archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
        archive_entry_set_filetype(entry.get(), AE_IFREG);
        archive_entry_set_perm(entry.get(), 0644);
        archive_write_header(writer.get(), entry.get());
        archive_write_data(writer.get(), data.data(), data.size());
    }
    archive_write_close(writer.get());
    return bytes;
}

void RoundToBinary64(Model& model) {
    for (TransitionValue& value : model.Mdp.TransitionValues) {
        value.Value = ApproximateValue(value);
        value.Denominator = 0;
    }
}

std::string UmbArchive(const Model& model, Compression compression) {
    const ExplicitMdp& mdp = model.Mdp;
    const uint64_t states = mdp.StateCount;
    bool dtmc = model.Dtmc && mdp.ChoiceCount() == states;
    for (uint64_t s = 0; dtmc && s < states; ++s) dtmc = mdp.StateChoiceStart[s] == s;
    bool binary64 = true;
    for (const TransitionValue& value : mdp.TransitionValues) binary64 = binary64 && value.Denominator == 0;
    std::vector<double> doubles;
    std::vector<TransitionValue> rationals;
    if (binary64) {
        for (const TransitionValue& value : mdp.TransitionValues) doubles.push_back(value.Value);
    } else {
        for (const TransitionValue& value : mdp.TransitionValues) rationals.push_back(AsRational(value));
    }
    std::vector<uint64_t> initial = EmptyBits(states);
    for (const uint64_t s : model.Initial) SetBit(initial, s);

    nlohmann::ordered_json index = {
        {"format-version", 1},
        {"format-revision", 0},
        {"transition-system",
         {{"time", "discrete"},
          {"#players", dtmc ? 0 : 1},
          {"#states", states},
          {"#initial-states", model.Initial.size()},
          {"#choices", mdp.ChoiceCount()},
          {"#choice-actions", 0},
          {"#branches", mdp.TransitionCount()},
          {"#branch-actions", 0},
          {"#observations", 0},
          {"branch-probability-type",
           {{"type", binary64 ? "double" : "rational"}, {"size", binary64 ? 64 : 128}}}}},
    };
    std::vector<std::pair<std::string, std::vector<uint64_t>>> labels;
    std::set<std::string> taken;
    nlohmann::ordered_json aps = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < model.Labels.Count(); ++i) {
        const std::string name(model.Labels.Name(i));
        if (name == "init") continue;  // the initial states
        const std::string id = LabelId(name, taken);
        aps[id] = {{"alias", name}, {"applies-to", {"states"}}, {"type", {{"type", "bool"}, {"size", 1}}}};
        labels.emplace_back("annotations/aps/" + id + "/states/values.bin", LabelStates(model.Labels, i, states));
    }
    if (!labels.empty()) index["annotations"] = {{"aps", aps}};
    const std::string indexText = index.dump(2);

    std::vector<std::pair<std::string, std::string_view>> members = {{"index.json", indexText}};
    if (!dtmc) members.emplace_back("state-to-choices.bin", Bytes(mdp.StateChoiceStart));
    members.emplace_back("choice-to-branches.bin", Bytes(mdp.ChoiceTransitionStart));
    members.emplace_back("branch-to-target.bin", Bytes(mdp.TransitionTarget));
    members.emplace_back("branch-to-probability.bin", binary64 ? Bytes(doubles) : Bytes(rationals));
    members.emplace_back("state-is-initial.bin", Bytes(initial));
    for (const auto& [path, bits] : labels) members.emplace_back(path, Bytes(bits));
    return TarArchive(members, compression);
}

}  // namespace iicheck
