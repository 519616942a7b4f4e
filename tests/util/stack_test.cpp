#include <gtest/gtest.h>

#include "util/queue.h"

namespace {

TEST(Stack, LastInFirstOut) {
    Queue s;
    InitStack(&s);
    EXPECT_EQ(s.next_seq, 1);
    EXPECT_EQ(Push(&s, 10), 0);
    EXPECT_EQ(Push(&s, 0xFFFFFFFFU), 0);
    EXPECT_EQ(Push(&s, 30), 0);
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(TopOfStack(&s), 30U);
    EXPECT_EQ(s.count, 3);
    EXPECT_EQ(Pop(&s), 30U);
    EXPECT_EQ(Pop(&s), 0xFFFFFFFFU);
    EXPECT_EQ(TopOfStack(&s), 10U);
    EXPECT_EQ(Pop(&s), 10U);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(s.head, nullptr);
    EXPECT_EQ(s.tail, nullptr);
}

TEST(Stack, EmptyStackGivesZeroLikeAPushedZero) {
    Queue s;
    InitStack(&s);
    EXPECT_EQ(Pop(&s), 0U);
    EXPECT_EQ(TopOfStack(&s), 0U);
    Push(&s, 0);
    EXPECT_EQ(TopOfStack(&s), 0U);
    EXPECT_EQ(Pop(&s), 0U);
    EXPECT_EQ(s.count, 0);
    EXPECT_EQ(Pop(&s), 0U);
    EXPECT_EQ(s.count, 0);
}

TEST(Stack, ManyValuesComeBackReversed) {
    Queue s;
    InitStack(&s);
    for (uint32_t i = 1; i <= 1000; ++i) ASSERT_EQ(Push(&s, i * 7), 0);
    for (uint32_t i = 1000; i >= 1; --i) ASSERT_EQ(Pop(&s), i * 7);
    EXPECT_EQ(s.head, nullptr);
}

}  // namespace
