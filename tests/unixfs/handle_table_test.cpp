#include "unixfs/session/handle_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace {

TEST(HandleTable, IssuedHandleResolvesOnlyForItsKind) {
    auto table = std::make_unique<HANDLE_TABLE>();
    int record = 0;
    uint32_t h = IssueHandle(table.get(), &record, HANDLE_KIND_DRVDLE);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(LookupHandle(table.get(), h, HANDLE_KIND_DRVDLE), &record);
    EXPECT_EQ(LookupHandle(table.get(), h, HANDLE_KIND_WSDLE), nullptr);
    EXPECT_EQ(HandleKindOf(table.get(), h), HANDLE_KIND_DRVDLE);
    EXPECT_EQ(LookupHandle(table.get(), 0, HANDLE_KIND_DRVDLE), nullptr);
}

TEST(HandleTable, ReleasedHandleNeverResolvesAgainEvenWhenSlotIsReused) {
    auto table = std::make_unique<HANDLE_TABLE>();
    int a = 0, b = 0;
    uint32_t ha = IssueHandle(table.get(), &a, HANDLE_KIND_OBJECT);
    ReleaseHandle(table.get(), ha);
    EXPECT_EQ(LookupHandle(table.get(), ha, HANDLE_KIND_OBJECT), nullptr);
    uint32_t hb = IssueHandle(table.get(), &b, HANDLE_KIND_OBJECT);
    EXPECT_NE(ha, hb);  // same slot, new generation
    EXPECT_EQ(ha & 0xFFFF, hb & 0xFFFF);
    EXPECT_EQ(LookupHandle(table.get(), ha, HANDLE_KIND_OBJECT), nullptr);
    EXPECT_EQ(LookupHandle(table.get(), hb, HANDLE_KIND_OBJECT), &b);
    ReleaseHandle(table.get(), ha);  // stale release must not free b's slot
    EXPECT_EQ(LookupHandle(table.get(), hb, HANDLE_KIND_OBJECT), &b);
    EXPECT_EQ(table->in_use, 1u);
}

TEST(HandleTable, ForgedAndOutOfRangeHandlesResolveToNothing) {
    auto table = std::make_unique<HANDLE_TABLE>();
    int a = 0;
    uint32_t h = IssueHandle(table.get(), &a, HANDLE_KIND_SEARCH);
    EXPECT_EQ(LookupHandle(table.get(), h ^ 0x10000u, HANDLE_KIND_SEARCH), nullptr);
    EXPECT_EQ(LookupHandle(table.get(), 0xFFFFFFFFu, HANDLE_KIND_SEARCH), nullptr);
    EXPECT_EQ(LookupHandle(table.get(), (h & 0xFFFF0000u) | 0xFFFFu, HANDLE_KIND_SEARCH), nullptr);
}

TEST(HandleTable, FullTableRefusesAndResetFreesEverything) {
    auto table = std::make_unique<HANDLE_TABLE>();
    int a = 0;
    std::set<uint32_t> seen;
    for (size_t i = 0; i < kMaxSessionHandles; ++i) {
        uint32_t h = IssueHandle(table.get(), &a, HANDLE_KIND_SEARCH);
        ASSERT_NE(h, 0u);
        seen.insert(h);
    }
    EXPECT_EQ(seen.size(), kMaxSessionHandles);
    EXPECT_EQ(IssueHandle(table.get(), &a, HANDLE_KIND_SEARCH), 0u);
    uint32_t first = *seen.begin();
    ResetHandleTable(table.get());
    EXPECT_EQ(table->in_use, 0u);
    EXPECT_EQ(LookupHandle(table.get(), first, HANDLE_KIND_SEARCH), nullptr);
    EXPECT_NE(IssueHandle(table.get(), &a, HANDLE_KIND_SEARCH), 0u);
}

}  // namespace
