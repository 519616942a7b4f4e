#include "bench/slicing.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Every slice takes each side once, and over every pair of slices each side
// has the same mean position, so that a drift linear over the pair cancels.
TEST(SliceOrder, PairsOfSlicesGiveEverySideTheSameMeanPosition) {
    for (int sides : {2, 3}) {
        for (bool forward_first : {true, false}) {
            for (int pair = 0; pair < bench::kSlices / 2; ++pair) {
                std::vector<int> position_sum(sides, 0);
                int position = 0;
                for (int slice = 2 * pair; slice < 2 * pair + 2; ++slice) {
                    std::vector<int> seen(sides, 0);
                    for (int side : bench::slice_order(sides, slice, forward_first)) {
                        ASSERT_GE(side, 0);
                        ASSERT_LT(side, sides);
                        ++seen[side];
                        position_sum[side] += position++;
                    }
                    EXPECT_EQ(seen, std::vector<int>(sides, 1));
                }
                for (int side = 1; side < sides; ++side) EXPECT_EQ(position_sum[side], position_sum[0]);
            }
        }
    }
    EXPECT_EQ(bench::slice_order(2, 0, true), (std::vector<int>{0, 1}));
    EXPECT_EQ(bench::slice_order(2, 1, true), (std::vector<int>{1, 0}));
    EXPECT_EQ(bench::slice_order(2, 0, false), (std::vector<int>{1, 0}));
    EXPECT_EQ(bench::kSlices % 2, 0);
}

}  // namespace
