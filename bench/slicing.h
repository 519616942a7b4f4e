// The order in which the sides of a row (the agent and its yardsticks) are
// measured: in slices, each side once per slice, forwards in one slice and
// backwards in the next (A B B A A B B A for two sides, A B C C B A for
// three). Over every pair of slices each side then sits, on average, at the
// same moment, whatever the length of its turns, so that a drift of the
// machine's speed that is linear over the pair weighs on all sides alike.
#pragma once

#include <vector>

namespace bench {

// Slices per row; even, so that every pair is whole.
constexpr int kSlices = 8;

// The sides (0 .. sides-1) in the order slice takes them; forward_first
// gives the direction of slice 0 (runs alternate it).
std::vector<int> slice_order(int sides, int slice, bool forward_first);

}  // namespace bench
