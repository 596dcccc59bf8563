// Writes a model in UMB, exactly: ParseUmb reads back the same transitions,
// values, labels and initial states. iigen writes its models with it, the
// benchmark converts its generated model with it, and the tests build
// archives with TarArchive.
#pragma once

#include "formats/ModelReader.hpp"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace iicheck {

enum class Compression { None, Gzip, Xz };

// A tar archive (ustar) of the members in order, compressed as asked.
std::string TarArchive(const std::vector<std::pair<std::string, std::string_view>>& members,
                       Compression compression);

// The model as a UMB archive. Its probabilities are binary64 values when
// all of them are, else rationals of two 64-bit integers; an InputError when
// a binary64 value is not such a rational (below 2^-62 or so). A model
// marked as a DTMC with exactly one choice per state is written as one.
// Labels get ids made of their names' lower-case letters, digits, '_' and
// '-', and their names as aliases.
std::string UmbArchive(const Model& model, Compression compression);

// Every probability replaced by the binary64 value nearest to it (within a
// unit in the last place: ApproximateValue), as an exporter that computes in
// binary64 holds it; then UmbArchive writes binary64 values.
void RoundToBinary64(Model& model);

}  // namespace iicheck
