#include <cstdint>

#include "util/alloc.h"
#include "util/queue.h"

void InitStack(Queue* s) { InitQueue(s); }

int Push(Queue* s, uint32_t value) {
    auto* node = static_cast<StackNode*>(MYMALLOC(sizeof(StackNode)));
    if (node == nullptr) return 1;
    InitQElem(&node->link);
    node->value = value;
    PushElem(s, &node->link);
    return 0;
}

uint32_t Pop(Queue* s) {
    QElem* e = PopElem(s);
    if (e == nullptr) return 0;
    auto* node = reinterpret_cast<StackNode*>(e);
    uint32_t value = node->value;
    MYFREE(node);
    return value;
}

uint32_t TopOfStack(Queue* s) {
    if (s->head == nullptr) return 0;
    return reinterpret_cast<StackNode*>(s->head)->value;
}
