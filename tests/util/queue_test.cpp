#include <gtest/gtest.h>

#include <csignal>
#include <vector>

#include "util/queue.h"
#include "util/signal_guard.h"

namespace {

struct Rec {
    QElem link;
    int id;
};

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        InitQueue(&q);
        for (int i = 0; i < kRecs; ++i) {
            InitQElem(&recs[i].link);
            recs[i].id = i;
        }
    }

    QElem* e(int i) { return &recs[i].link; }

    QElem* add(int i, int32_t priority = 0, int16_t sorted = 0) {
        recs[i].link.priority = priority;
        return EnQueueElem(&q, e(i), sorted);
    }

    static constexpr int kRecs = 16;
    Queue q;
    Rec recs[kRecs];
};

// Walks the queue both ways and checks every link against the header;
// returns the ids from head to tail.
std::vector<int> ids(const Queue& q) {
    std::vector<int> forward;
    const QElem* prev = nullptr;
    for (const QElem* cur = q.head; cur != nullptr; cur = cur->next) {
        EXPECT_EQ(cur->prev, prev) << "broken prev link at id " << reinterpret_cast<const Rec*>(cur)->id;
        forward.push_back(reinterpret_cast<const Rec*>(cur)->id);
        prev = cur;
        if (forward.size() > 1000) break;
    }
    EXPECT_EQ(q.tail, prev);
    EXPECT_EQ(q.count, static_cast<int16_t>(forward.size()));
    std::vector<int> backward;
    for (const QElem* cur = q.tail; cur != nullptr; cur = cur->prev) {
        backward.insert(backward.begin(), reinterpret_cast<const Rec*>(cur)->id);
        if (backward.size() > 1000) break;
    }
    EXPECT_EQ(forward, backward);
    return forward;
}

TEST_F(QueueTest, InitialisedHeaderAndElement) {
    q.head = e(0);
    q.count = 9;
    q.saved_guard = 7;
    q.next_seq = 40;
    InitQueue(&q);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.saved_guard, 0U);
    EXPECT_EQ(q.next_seq, 1);

    recs[0].link = QElem{e(1), e(2), 5, 6};
    InitQElem(e(0));
    EXPECT_EQ(recs[0].link.prev, nullptr);
    EXPECT_EQ(recs[0].link.next, nullptr);
    EXPECT_EQ(recs[0].link.priority, 0);
    EXPECT_EQ(recs[0].link.seq, 0);
}

TEST_F(QueueTest, UnsortedEnqueueAppendsAndNumbers) {
    EXPECT_EQ(add(0, 9), e(0));
    add(1, 1);
    add(2, 5);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(recs[0].link.seq, 1);
    EXPECT_EQ(recs[1].link.seq, 2);
    EXPECT_EQ(recs[2].link.seq, 3);
    EXPECT_EQ(q.next_seq, 4);
}

TEST_F(QueueTest, SortedInsertionAscendingNewestFirstAmongEquals) {
    add(0, 5, 1);
    add(1, 3, 1);
    add(2, 5, 1);
    EXPECT_EQ(ids(q), (std::vector<int>{1, 2, 0}));

    add(3, -7, 1);  // signed: goes to the head
    add(4, 100, 1); // greater than all: appended
    add(5, 4, 1);   // in the middle
    add(6, 3, 1);   // before the existing 3
    EXPECT_EQ(ids(q), (std::vector<int>{3, 6, 1, 5, 2, 0, 4}));
    EXPECT_EQ(q.head, e(3));
    EXPECT_EQ(q.tail, e(4));
}

TEST_F(QueueTest, SortedFlagIgnoredOnEmptyQueueAndUnsortedIgnoresPriority) {
    add(0, 50, 1);
    add(1, 10, 0);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1}));
}

TEST_F(QueueTest, DequeueTakesHeadAndClearsLinks) {
    QElem* none = DeQueueElem(&q);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(q.count, 0);
    EXPECT_EQ(q.next_seq, 1);

    add(0);
    add(1);
    add(2);
    EXPECT_EQ(DeQueueElem(&q), e(0));
    EXPECT_EQ(recs[0].link.prev, nullptr);
    EXPECT_EQ(recs[0].link.next, nullptr);
    EXPECT_EQ(ids(q), (std::vector<int>{1, 2}));
    EXPECT_EQ(PopElem(&q), e(1));
    EXPECT_EQ(DeQueueElem(&q), e(2));
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(ids(q), std::vector<int>{});
    EXPECT_EQ(PopElem(&q), nullptr);
}

TEST_F(QueueTest, PushInsertsAtHead) {
    PushElem(&q, e(0));
    EXPECT_EQ(q.tail, e(0));
    PushElem(&q, e(1));
    PushElem(&q, e(2));
    EXPECT_EQ(ids(q), (std::vector<int>{2, 1, 0}));
    EXPECT_EQ(recs[2].link.seq, 3);
}

TEST_F(QueueTest, SequenceNumbersContinueAcrossRemovalsAndWrap) {
    add(0);
    add(1);
    add(2);
    DeQueueElem(&q);
    RemoveQueueElem(&q, e(2));
    add(3);
    EXPECT_EQ(recs[3].link.seq, 4);

    q.next_seq = 0xFFFF;
    add(4);
    add(5);
    EXPECT_EQ(recs[4].link.seq, 0xFFFF);
    EXPECT_EQ(recs[5].link.seq, 0);
    EXPECT_EQ(q.next_seq, 1);
}

TEST_F(QueueTest, RemoveElemAtHeadMiddleTailAndOnly) {
    for (int i = 0; i < 5; ++i) add(i);
    RemoveElem(&q, e(2));
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1, 3, 4}));
    EXPECT_EQ(recs[2].link.prev, nullptr);
    EXPECT_EQ(recs[2].link.next, nullptr);
    RemoveElem(&q, e(0));
    EXPECT_EQ(ids(q), (std::vector<int>{1, 3, 4}));
    RemoveElem(&q, e(4));
    EXPECT_EQ(ids(q), (std::vector<int>{1, 3}));
    RemoveElem(&q, e(3));
    RemoveElem(&q, e(1));
    EXPECT_EQ(ids(q), std::vector<int>{});
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
}

TEST_F(QueueTest, RemoveQueueElemFindsOrLeavesQueueAlone) {
    for (int i = 0; i < 3; ++i) add(i);
    EXPECT_EQ(RemoveQueueElem(&q, e(7)), 1);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(RemoveQueueElem(&q, e(1)), 0);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 2}));
    EXPECT_EQ(RemoveQueueElem(&q, e(1)), 1);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 2}));
}

TEST_F(QueueTest, FindLooksAtNoMoreThanCount) {
    for (int i = 0; i < 3; ++i) add(i);
    EXPECT_EQ(FindQueueElem(&q, e(2)), e(2));
    EXPECT_EQ(FindQueueElem(&q, e(5)), nullptr);
    // A count smaller than the chain bounds the search.
    q.count = 2;
    EXPECT_EQ(FindQueueElem(&q, e(2)), nullptr);
    EXPECT_EQ(FindQueueElem(&q, e(1)), e(1));
}

TEST_F(QueueTest, InsertBeforeAndAfter) {
    add(0);
    add(1);
    InsertElem(&q, e(0), e(2), 0);  // before the head
    InsertElem(&q, e(1), e(3), 1);  // after the tail
    InsertElem(&q, e(0), e(4), 1);  // after a middle element
    InsertElem(&q, e(1), e(5), 0);  // before a middle element
    EXPECT_EQ(ids(q), (std::vector<int>{2, 0, 4, 5, 1, 3}));
    EXPECT_EQ(recs[2].link.seq, 3);
    EXPECT_EQ(recs[5].link.seq, 6);
    EXPECT_EQ(q.next_seq, 7);
}

TEST_F(QueueTest, InsertWithoutReferenceGoesToTheEnds) {
    InsertElem(&q, nullptr, e(0), 0);
    InsertElem(&q, nullptr, e(1), 0);
    InsertElem(&q, nullptr, e(2), 1);
    EXPECT_EQ(ids(q), (std::vector<int>{2, 0, 1}));
}

TEST_F(QueueTest, MoveQueueAppendsInOrderAndRenumbers) {
    Queue dst;
    InitQueue(&dst);
    Rec extra;
    InitQElem(&extra.link);
    extra.id = 99;
    EnQueueElem(&dst, &extra.link, 0);
    add(0, 9);
    add(1, 1);
    add(2, 5);
    MoveQueue(&q, &dst);
    EXPECT_EQ(ids(q), std::vector<int>{});
    EXPECT_EQ(ids(dst), (std::vector<int>{99, 0, 1, 2}));
    EXPECT_EQ(recs[0].link.seq, 2);
    EXPECT_EQ(recs[2].link.seq, 4);
}

int by_priority(QElem* a, QElem* b) {
    if (a->priority > b->priority) return 1;
    if (a->priority < b->priority) return -1;
    return 0;
}

TEST_F(QueueTest, SortIsStableAndAscending) {
    const int32_t prio[] = {3, 1, 3, 2, 1, 3, 0, 2, 1};
    for (int i = 0; i < 9; ++i) add(i, prio[i]);
    SortQueue(&q, by_priority);
    EXPECT_EQ(ids(q), (std::vector<int>{6, 1, 4, 8, 3, 7, 0, 2, 5}));
}

TEST_F(QueueTest, SortHandlesReversedSortedAndSmallQueues) {
    SortQueue(&q, by_priority);
    EXPECT_EQ(ids(q), std::vector<int>{});
    add(0, 4);
    SortQueue(&q, by_priority);
    EXPECT_EQ(ids(q), std::vector<int>{0});
    add(1, 3);
    SortQueue(&q, by_priority);
    EXPECT_EQ(ids(q), (std::vector<int>{1, 0}));
    for (int i = 2; i < kRecs; ++i) add(i, 100 - i);
    SortQueue(&q, by_priority);
    std::vector<int> want = {1, 0};  // priorities 3 and 4 stay first
    for (int i = kRecs - 1; i >= 2; --i) want.push_back(i);
    EXPECT_EQ(ids(q), want);
    SortQueue(&q, by_priority);  // already sorted: unchanged
    EXPECT_EQ(ids(q), want);
}

TEST_F(QueueTest, SortAgreesWithStableSortOnManyOrders) {
    unsigned seed = 12345;
    for (int round = 0; round < 200; ++round) {
        InitQueue(&q);
        int n = 1 + round % kRecs;
        std::vector<std::pair<int32_t, int>> model;
        for (int i = 0; i < n; ++i) {
            seed = seed * 1103515245U + 12345U;
            int32_t p = static_cast<int32_t>((seed >> 16) % 5) - 2;
            InitQElem(e(i));
            add(i, p);
            model.emplace_back(p, i);
        }
        SortQueue(&q, by_priority);
        std::stable_sort(model.begin(), model.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        std::vector<int> want;
        for (const auto& m : model) want.push_back(m.second);
        ASSERT_EQ(ids(q), want) << "round " << round;
    }
}

TEST_F(QueueTest, SplitInTheMiddle) {
    for (int i = 0; i < 5; ++i) add(i);
    Queue q2;
    q2.count = 77;  // must be initialised by the split
    EXPECT_EQ(SplitQueue(&q, e(2), &q2), &q2);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1}));
    EXPECT_EQ(ids(q2), (std::vector<int>{2, 3, 4}));
    EXPECT_EQ(q2.next_seq, q.next_seq);
    EXPECT_EQ(q2.next_seq, 6);
    EXPECT_EQ(recs[2].link.prev, nullptr);
}

TEST_F(QueueTest, SplitAtTailAndAtHeadAndWithNone) {
    for (int i = 0; i < 3; ++i) add(i);
    Queue q2;
    SplitQueue(&q, e(2), &q2);
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1}));
    EXPECT_EQ(ids(q2), std::vector<int>{2});

    Queue q3;
    SplitQueue(&q, e(0), &q3);  // whole queue, counter included
    EXPECT_EQ(ids(q), std::vector<int>{});
    EXPECT_EQ(q.next_seq, 1);
    EXPECT_EQ(ids(q3), (std::vector<int>{0, 1}));
    EXPECT_EQ(q3.next_seq, 4);

    Queue q4;
    q4.count = 5;
    SplitQueue(&q3, nullptr, &q4);
    EXPECT_EQ(ids(q4), std::vector<int>{});
    EXPECT_EQ(q4.next_seq, 1);
    EXPECT_EQ(ids(q3), (std::vector<int>{0, 1}));
}

int id_matches(QElem* elem, void* arg) { return reinterpret_cast<Rec*>(elem)->id == *static_cast<int*>(arg); }

TEST_F(QueueTest, SearchFindsFirstMatchAndOptionallyRemoves) {
    for (int i = 0; i < 4; ++i) add(i);
    int want = 2;
    EXPECT_EQ(SearchQueue(&q, id_matches, &want, 0), e(2));
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(SearchQueue(&q, id_matches, &want, 1), e(2));
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(SearchQueue(&q, id_matches, &want, 1), nullptr);
    want = 3;
    EXPECT_EQ(SearchQueue(&q, id_matches, &want, 1), e(3));
    EXPECT_EQ(ids(q), (std::vector<int>{0, 1}));
}

TEST_F(QueueTest, LockSavesGuardStateInHeader) {
    SetCliSig(SIGUSR1);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);

    EXPECT_EQ(LockQueue(&q), 0);
    EXPECT_EQ(q.saved_guard, 0U);
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 1);
    UnlockQueue(&q);
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 0);
    SetCliSig(0);
}

int blocked_during_match(QElem*, void* arg) {
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    *static_cast<int*>(arg) = sigismember(&now, SIGUSR1);
    return 1;
}

TEST_F(QueueTest, OperationsHoldTheGuardAndRestoreIt) {
    SetCliSig(SIGUSR1);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    add(0);
    int seen = -1;
    SearchQueue(&q, blocked_during_match, &seen, 0);
    EXPECT_EQ(seen, 1);
    add(1, 0, 1);
    PushElem(&q, e(2));
    DeQueueElem(&q);
    PopElem(&q);
    RemoveQueueElem(&q, e(0));
    Queue q2;
    add(3);
    SplitQueue(&q, e(3), &q2);
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 0);
    SetCliSig(0);
}

TEST_F(QueueTest, LocksOfDifferentQueuesNest) {
    SetCliSig(SIGUSR1);
    sigset_t empty;
    sigemptyset(&empty);
    sigprocmask(SIG_SETMASK, &empty, nullptr);
    Queue other;
    InitQueue(&other);
    LockQueue(&q);
    LockQueue(&other);
    EXPECT_EQ(other.saved_guard, 1U);
    UnlockQueue(&other);
    sigset_t now;
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 1);  // still held by the outer lock
    UnlockQueue(&q);
    sigprocmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 0);
    SetCliSig(0);
}

}  // namespace
