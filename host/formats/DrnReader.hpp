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
// labelling is not Declared. Rewards and action names are not read. Each
// choice is checked as CheckChoices does once it is read, and named by its
// "action" line.
Model ParseDrn(std::string_view text, const std::string& name, double tolerance);

// The same from a file of any kind, read a block at a time (TextSource): a
// pipe or a device is refused at its first malformed or overlong line.
Model ReadDrn(const std::string& path, double tolerance);

}  // namespace iicheck
