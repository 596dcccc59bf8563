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

// The largest index.json accepted: an index describes the model's labels,
// variables and reward structures, never its states, and takes kilobytes.
constexpr uint64_t kMaxIndexBytes = uint64_t{16} << 20;

// Reads the model from an archive's bytes; name is used in messages. Every
// error is an InputError of one line naming the archive and, where there is
// one, the member: "m.umb: member branch-to-target.bin: ...".
//
// A probability is a binary64 value, kept as it is, or a rational of two
// signed 64-bit integers, kept exactly: reduced, and stored as a binary64
// value when it is exactly one. Branches with probability 0 are left out (a
// choice without others is refused by CheckChoices, which names a choice by
// its branches in the archive); the branches of a choice keep the archive's
// order. The initial states are those of state-is-initial.bin. The labels
// are "init", which marks them as in the other formats, then the state
// annotations (named by their alias, else their id) in the index's order,
// each a bitset as stored; an annotation named "init" must mark the initial
// states. Rewards, valuations and action names are not read.
//
// The archive is read in one pass to its end (twice when index.json is not
// its first member): a member that appears twice ("./a" and "a" are one
// path), damaged compressed data (a CRC or length that does not match) and
// an index of more than kMaxIndexBytes are refused. Memory follows the
// archive, not its index: a member is checked against what the archive can
// hold before anything is allocated for it, and where that is not known (a
// compressed archive, a pipe) its storage grows only as its data arrives.
Model ParseUmb(std::string_view bytes, const std::string& name, double tolerance);

// The same, from a file: a regular file is read a block at a time, a pipe
// or a device as its data arrives (a stop asked for by a signal ends a wait
// for data at once).
Model ReadUmb(const std::string& path, double tolerance);

}  // namespace iicheck
