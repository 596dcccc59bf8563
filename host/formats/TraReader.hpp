// PRISM's explicit text format: a transitions file and a labels file.
//
// Transitions (.tra): '#' comment lines, then for an MDP the header "states
// choices transitions" and one line per transition "source choice target
// probability [action]", sorted by source state and by choice, choices
// numbered from 0 within each state; for a DTMC the header "states
// transitions" and lines "source target probability [action]", sorted by
// source state (each state's lines are its one choice). Labels (.lab): '#'
// comment lines, the header of index="name" pairs, then lines "state: index
// index ...". "init" marks the initial states.
//
// Memory follows the files: the text is read a block at a time (TextSource),
// a header's counts are checked against what the text can hold before
// anything is allocated (for a stream, as the text comes), and the labels
// take memory for their names and the states they are on (Labelling). A
// malformed line is refused as soon as it is read, a choice whose sum is not
// 1 as soon as it ends. The reading loops poll for an interrupt
// (Interrupt.hpp).
#pragma once

#include "formats/ModelReader.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace iicheck {

// Reads a transitions file's text into model.Mdp and model.Dtmc; name is
// used in messages. Header counts that the text cannot hold are refused
// before anything is allocated. Checks each choice as CheckChoices does;
// notes go to model.Notes.
void ParseTransitions(std::string_view text, const std::string& name, double tolerance, Model& model);

// Parses a labels file's text for a model of stateCount states.
Labelling ParseLabels(std::string_view text, const std::string& name, uint64_t stateCount);

// Both, and the initial states.
Model ParseTra(std::string_view transitions, const std::string& transitionsName, std::string_view labels,
               const std::string& labelsName, double tolerance);

// PRISM's reward files of one structure for model, which has its
// transitions: state rewards (.srew: "# Reward structure \"name\"" and
// other '#' comment lines, the header "states entries", then lines "state
// reward") or transition rewards (.trew: the header "states choices
// entries", then lines "source choice target reward"; a DTMC's "states
// entries" and "source target reward"). Each file's name says which; the
// two files of a structure make one structure, with the name of their
// comment ("" without one). Transition rewards are folded into their
// choices (Rewards.hpp).
void ReadRewardFiles(const std::vector<std::string>& paths, Model& model);
void ParseRewards(std::string_view text, const std::string& name, bool transitions, Model& model);

// The same from files of any kind, each read a block at a time (a pipe or a
// device too), with the reward files given.
Model ReadTra(const std::string& transitionsPath, const std::string& labelsPath, double tolerance,
              const std::vector<std::string>& rewardPaths = {});

}  // namespace iicheck
