// Finding the word an operator most likely meant, for "did you mean ...?".
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

// The optimal string alignment distance of `a` and `b`: the fewest
// insertions, deletions, substitutions and swaps of two neighbouring bytes
// that turn one into the other, no byte being edited twice.
size_t editDistance(std::string_view a, std::string_view b);

// The candidate `given` most likely stands for, or "" when none is near.
// A candidate is near when `given` (two bytes at least) begins it, or when
// `given`, or its first bytes as many as the candidate has (a word only has
// to begin with a command's name) unless they are the candidate, is within
// an edit distance of a third of its length, at most 3. The nearest wins;
// on a tie the earlier candidate.
std::string_view nearestWord(std::string_view given, std::span<const std::string_view> candidates);
