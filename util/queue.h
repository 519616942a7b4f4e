// Intrusive doubly linked queues and a small stack of 32-bit values.
// A record that lives in a queue starts with a QElem; the Queue header
// describes the list. Nothing here allocates elements except stack nodes.
#pragma once

#include <cstdint>

struct QElem {
    QElem* prev;
    QElem* next;
    int32_t priority;  // ordering key for sorted insertion
    uint16_t seq;      // queue's next_seq when the element was inserted
};

struct Queue {
    QElem* head;
    QElem* tail;
    int16_t count;
    uint32_t saved_guard;  // guard-signal disposition while locked
    uint16_t next_seq;     // 1 after InitQueue
};

// A stack node: link fields and the pushed value.
struct StackNode {
    QElem link;
    uint32_t value;
};

using QueueCompare = int (*)(QElem* a, QElem* b);
using QueueMatch = int (*)(QElem* elem, void* arg);

void InitQueue(Queue* q);
void InitQElem(QElem* e);
int LockQueue(Queue* q);
void UnlockQueue(Queue* q);
QElem* EnQueueElem(Queue* q, QElem* e, int16_t sorted);
QElem* DeQueueElem(Queue* q);
void PushElem(Queue* q, QElem* e);
QElem* PopElem(Queue* q);
void RemoveElem(Queue* q, QElem* e);
int RemoveQueueElem(Queue* q, QElem* e);
QElem* FindQueueElem(Queue* q, QElem* e);
void InsertElem(Queue* q, QElem* ref, QElem* e, int after);
void MoveQueue(Queue* src, Queue* dst);
void SortQueue(Queue* q, QueueCompare compare);
Queue* SplitQueue(Queue* q, QElem* e, Queue* q2);
QElem* SearchQueue(Queue* q, QueueMatch match, void* arg, int16_t remove);

void InitStack(Queue* s);
int Push(Queue* s, uint32_t value);
uint32_t Pop(Queue* s);
uint32_t TopOfStack(Queue* s);

// Typed helpers: records put their QElem first, so the cast is exact.
template <typename T>
inline T* QueueHead(const Queue& q) { return reinterpret_cast<T*>(q.head); }
template <typename T>
inline T* QueueNext(const T* rec) { return reinterpret_cast<T*>(reinterpret_cast<const QElem*>(rec)->next); }
