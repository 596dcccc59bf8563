// DRN, the explicit text format of the Storm model checker (see
// models/FORMATS.md): "//" comment lines, a header of "@key" lines, then
// after "@model" the states in order, each with its choices and their
// transitions:
//
//   state S [rewards] LABEL ...
//   	action A [rewards]
//   		T : P
#pragma once

#include "formats/ModelReader.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace iicheck {

// Reads an MDP or a DTMC (one "action" line per state) from a DRN text; name
// is used in messages. Every error is an InputError of one line naming the
// file and, where there is one, the line: "m.drn:12: ...". Probabilities are
// read exactly, as in the other text formats (0.5, 1/3, printed binary64
// values); transitions with probability 0 are left out. The labels are those
// of the state lines, in order of first appearance after "init", which marks
// the initial states; a label no state carries does not appear, so the
// labelling is not Declared. Rewards and action names are not read. Runs
// CheckChoices, naming a choice by its "action" line.
Model ParseDrn(std::string_view text, const std::string& name, double tolerance);

// The line of a choice's "action" line, for messages: "m.drn:123". Reads the
// text again.
std::string DrnChoiceLocation(std::string_view text, const std::string& name, uint64_t choice);

}  // namespace iicheck
