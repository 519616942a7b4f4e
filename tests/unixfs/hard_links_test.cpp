#include "unixfs/session/hard_links.h"

#include <gtest/gtest.h>

#include <string>

#include "unixfs/session/workstation.h"

namespace {

HARD_LINK_KEY Key(uint32_t dev, uint32_t ino_low, uint32_t ino_high = 0) {
    HARD_LINK_KEY key{};
    key.st_dev = dev;
    key.st_ino.lsw = ino_low;
    key.st_ino.msw = ino_high;
    return key;
}

class HardLinksTest : public ::testing::Test {
protected:
    void SetUp() override { HardLinkersReset(&ws_cntl); }
    void TearDown() override { HardLinkersReset(&ws_cntl); }
};

TEST_F(HardLinksTest, FirstNameIsFoundByDeviceAndInode) {
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(1, 42)), nullptr);
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 42), "/export/a"), 0);
    const char* found = HardLinkersLookup(&ws_cntl, Key(1, 42));
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found, "/export/a");
}

TEST_F(HardLinksTest, SameInodeOnAnotherDeviceIsADifferentFile) {
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 42), "/export/fs1/a"), 0);
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(2, 42)), nullptr);
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(2, 42), "/export/fs2/b"), 0);
    EXPECT_STREQ(HardLinkersLookup(&ws_cntl, Key(1, 42)), "/export/fs1/a");
    EXPECT_STREQ(HardLinkersLookup(&ws_cntl, Key(2, 42)), "/export/fs2/b");
}

TEST_F(HardLinksTest, BothHalvesOfTheInodeCount) {
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 7, 1), "/x/high"), 0);
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(1, 7, 0)), nullptr);
    EXPECT_STREQ(HardLinkersLookup(&ws_cntl, Key(1, 7, 1)), "/x/high");
}

TEST_F(HardLinksTest, PathIsCopiedAndFirstEntryWins) {
    std::string path = "/export/first";
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(3, 9), path.c_str()), 0);
    path.assign("/export/clobbered");
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(3, 9), "/export/second"), 0);
    EXPECT_STREQ(HardLinkersLookup(&ws_cntl, Key(3, 9)), "/export/first");
}

TEST_F(HardLinksTest, ResetEmptiesTheTable) {
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 1), "/a"), 0);
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 2), "/b"), 0);
    EXPECT_EQ(ws_cntl.hard_link_list.count, 2);
    HardLinkersReset(&ws_cntl);
    EXPECT_EQ(ws_cntl.hard_link_list.count, 0);
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(1, 1)), nullptr);
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(1, 2)), nullptr);
    ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, 1), "/again"), 0);
    EXPECT_STREQ(HardLinkersLookup(&ws_cntl, Key(1, 1)), "/again");
}

TEST_F(HardLinksTest, PastItsMemoryBoundTheOldestEntriesGo) {
    // 20,000 paths of 4,000 bytes are more than the table may hold.
    const std::string stem = "/export/" + std::string(4000, 'p');
    constexpr uint32_t kAdded = 20000;
    for (uint32_t i = 1; i <= kAdded; ++i) {
        ASSERT_EQ(HardLinkersAddLink(&ws_cntl, Key(1, i), (stem + std::to_string(i)).c_str()), 0);
    }
    EXPECT_EQ(HardLinkersLookup(&ws_cntl, Key(1, 1)), nullptr);
    for (uint32_t i = kAdded - 10000; i <= kAdded; ++i) {
        const char* found = HardLinkersLookup(&ws_cntl, Key(1, i));
        ASSERT_NE(found, nullptr) << i;
        EXPECT_EQ(found, stem + std::to_string(i));
    }
}

}  // namespace
