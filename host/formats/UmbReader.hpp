// UMB, the binary exchange format of probabilistic model checkers: a tar
// archive, plain or compressed with gzip or xz (told apart by content, never
// by name), holding index.json and little-endian binary arrays (see
// models/FORMATS.md).
#pragma once

#include "formats/ModelReader.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace iicheck {

// Reads the model from an archive's bytes; name is used in messages. Every
// error is an InputError of one line naming the archive and, where there is
// one, the member: "m.umb: member branch-to-target.bin: ...".
//
// A probability is a binary64 value, kept as it is, or a rational of two
// signed 64-bit integers, kept exactly: reduced, and stored as a binary64
// value when it is exactly one. Branches with probability 0 are left out (a
// choice left without branches is refused by CheckChoices); the branches of
// a choice keep the archive's order. The initial states are those of
// state-is-initial.bin. The labels are "init", which marks them as in the
// other formats, then the state annotations (named by their alias, else
// their id) in the index's order, each a bitset as stored. Rewards,
// valuations and action names are not read. Runs CheckChoices, naming a
// choice by its branches (UmbChoiceLocation).
//
// Memory follows the archive, not its index: a member is checked against
// what the archive can hold before anything is allocated for it, and a
// compressed member's storage grows only as its data arrives.
Model ParseUmb(std::string_view bytes, const std::string& name, double tolerance);

// The same, from a file: a regular file is read a block at a time (and
// read again for a message that names a choice); a pipe or a device is read
// whole first.
Model ReadUmb(const std::string& path, double tolerance);

// Where a choice lies in the archive, for messages: "m.umb: choice 77
// (branches 120 to 123 of branch-to-probability.bin)". Reads the archive
// again; falls back to "m.umb: choice 77" when it cannot.
std::string UmbChoiceLocation(std::string_view bytes, const std::string& name, uint64_t choice);

}  // namespace iicheck
