#include "util/queue.h"

#include "util/signal_guard.h"

namespace {

// Common to every insertion: the element takes the queue's sequence number.
void note_insertion(Queue* q, QElem* e) {
    q->count = static_cast<int16_t>(q->count + 1);
    e->seq = q->next_seq;
    q->next_seq = static_cast<uint16_t>(q->next_seq + 1);
}

void append(Queue* q, QElem* e) {
    e->next = nullptr;
    e->prev = q->tail;
    if (q->head == nullptr) {
        q->head = e;
    } else {
        q->tail->next = e;
    }
    q->tail = e;
}

void link_before(Queue* q, QElem* cur, QElem* e) {
    e->next = cur;
    e->prev = cur->prev;
    if (cur->prev != nullptr) {
        cur->prev->next = e;
    } else {
        q->head = e;
    }
    cur->prev = e;
}

// At the start: before the head, or alone in an empty queue.
void prepend(Queue* q, QElem* e) {
    if (q->head != nullptr) {
        link_before(q, q->head, e);
    } else {
        append(q, e);
    }
}

// Takes the head without locking; shared by the locking DeQueueElem and PopElem.
QElem* take_head(Queue* q) {
    QElem* e = q->head;
    if (e == nullptr) return nullptr;
    q->count = static_cast<int16_t>(q->count - 1);
    if (e == q->tail) q->tail = nullptr;
    q->head = e->next;
    if (q->head != nullptr) q->head->prev = nullptr;
    e->prev = nullptr;
    e->next = nullptr;
    return e;
}

// Exchanges a and its successor b, fixing the neighbours and the header.
void swap_with_next(Queue* q, QElem* a, QElem* b) {
    QElem* before = a->prev;
    QElem* after = b->next;
    if (before != nullptr) {
        before->next = b;
    } else {
        q->head = b;
    }
    if (after != nullptr) {
        after->prev = a;
    } else {
        q->tail = a;
    }
    b->prev = before;
    b->next = a;
    a->prev = b;
    a->next = after;
}

}  // namespace

void InitQueue(Queue* q) {
    q->head = nullptr;
    q->tail = nullptr;
    q->count = 0;
    q->saved_guard = 0;
    q->next_seq = 1;
}

void InitQElem(QElem* e) {
    e->prev = nullptr;
    e->next = nullptr;
    e->priority = 0;
    e->seq = 0;
}

int LockQueue(Queue* q) {
    q->saved_guard = DisableInterrupts();
    return 0;
}

void UnlockQueue(Queue* q) { RestoreInterruptState(q->saved_guard); }

QElem* EnQueueElem(Queue* q, QElem* e, int16_t sorted) {
    LockQueue(q);
    QElem* cur = nullptr;
    if (sorted != 0 && q->count != 0) {
        // Before the first element of equal or higher priority, so that among
        // equal priorities the newest comes first.
        cur = q->head;
        while (cur != nullptr && e->priority > cur->priority) cur = cur->next;
    }
    if (cur != nullptr) {
        link_before(q, cur, e);
    } else {
        append(q, e);
    }
    note_insertion(q, e);
    UnlockQueue(q);
    return e;
}

QElem* DeQueueElem(Queue* q) {
    LockQueue(q);
    QElem* e = take_head(q);
    UnlockQueue(q);
    return e;
}

void PushElem(Queue* q, QElem* e) {
    LockQueue(q);
    prepend(q, e);
    note_insertion(q, e);
    UnlockQueue(q);
}

QElem* PopElem(Queue* q) {
    LockQueue(q);
    QElem* e = take_head(q);
    UnlockQueue(q);
    return e;
}

void RemoveElem(Queue* q, QElem* e) {
    q->count = static_cast<int16_t>(q->count - 1);
    if (e == q->head) q->head = e->next;
    if (e == q->tail) q->tail = e->prev;
    if (e->prev != nullptr) e->prev->next = e->next;
    if (e->next != nullptr) e->next->prev = e->prev;
    e->prev = nullptr;
    e->next = nullptr;
}

int RemoveQueueElem(Queue* q, QElem* e) {
    LockQueue(q);
    QElem* cur = q->head;
    while (cur != nullptr && cur != e) cur = cur->next;
    int result = 1;
    if (cur != nullptr) {
        RemoveElem(q, e);
        result = 0;
    }
    UnlockQueue(q);
    return result;
}

QElem* FindQueueElem(Queue* q, QElem* e) {
    QElem* cur = q->head;
    for (int i = 0; i < q->count && cur != nullptr; ++i, cur = cur->next) {
        if (cur == e) return e;
    }
    return nullptr;
}

void InsertElem(Queue* q, QElem* ref, QElem* e, int after) {
    if (ref == nullptr) {
        // No reference element: "before nothing" is the end, "after nothing"
        // the start, so that a caller walking off either end still links e.
        if (after != 0) {
            prepend(q, e);
        } else {
            append(q, e);
        }
    } else if (after != 0) {
        e->prev = ref;
        e->next = ref->next;
        if (ref->next != nullptr) {
            ref->next->prev = e;
        } else {
            q->tail = e;
        }
        ref->next = e;
    } else {
        link_before(q, ref, e);
    }
    note_insertion(q, e);
}

void MoveQueue(Queue* src, Queue* dst) {
    QElem* e;
    while ((e = DeQueueElem(src)) != nullptr) EnQueueElem(dst, e, 0);
}

void SortQueue(Queue* q, QueueCompare compare) {
    if (q->count <= 1) return;
    int passes = q->count;
    bool swapped = true;
    while (swapped && passes > 1) {
        swapped = false;
        QElem* cur = q->head;
        for (int i = 0; i < passes - 1 && cur != nullptr && cur->next != nullptr; ++i) {
            QElem* next = cur->next;
            if (compare(cur, next) > 0) {
                // cur moves one place on and is compared again there.
                swap_with_next(q, cur, next);
                swapped = true;
            } else {
                cur = next;
            }
        }
        --passes;
    }
}

Queue* SplitQueue(Queue* q, QElem* e, Queue* q2) {
    InitQueue(q2);
    if (e == nullptr) return q2;
    uint32_t previous = DisableInterrupts();
    if (e == q->head) {
        *q2 = *q;
        InitQueue(q);
    } else {
        int n = 0;
        for (QElem* cur = q->head; cur != nullptr && cur != e; cur = cur->next) ++n;
        q2->tail = q->tail;
        q->tail = e->prev;
        q->tail->next = nullptr;
        e->prev = nullptr;
        q2->head = e;
        q2->count = static_cast<int16_t>(q->count - n);
        q->count = static_cast<int16_t>(n);
        q2->next_seq = q->next_seq;
    }
    RestoreInterruptState(previous);
    return q2;
}

QElem* SearchQueue(Queue* q, QueueMatch match, void* arg, int16_t remove) {
    uint32_t previous = DisableInterrupts();
    QElem* cur = q->head;
    while (cur != nullptr && match(cur, arg) == 0) cur = cur->next;
    if (cur != nullptr && remove != 0) RemoveElem(q, cur);
    RestoreInterruptState(previous);
    return cur;
}
