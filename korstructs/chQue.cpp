// The channel input queue: a doubly linked list with one node per byte.
#include <cstring>

#include "ctl.h"
#include "korChQue.h"

KORCHQUE* KORCHQUE_Create() {
    auto* q = static_cast<KORCHQUE*>(ctlMalloc(sizeof(KORCHQUE)));
    if (q != nullptr) {
        q->count = 0;
        q->removed = 0;
        q->head = nullptr;
        q->tail = nullptr;
    }
    return q;
}

int KORCHQUE_Push(KORCHQUE* q, const char* data, int len) {
    if (q == nullptr || data == nullptr || len <= 0) return 0;
    if (len > KORCHQUE_CAPACITY - q->count) {
        len = KORCHQUE_CAPACITY - q->count;
        if (len <= 0) return 0;
    }
    // Nodes are linked and counted one by one, so a failed allocation part-way
    // keeps what was stored so far and leaves count and links consistent.
    for (int i = 0; i < len; ++i) {
        auto* node = static_cast<KORCHQUE_NODE*>(ctlMalloc(sizeof(KORCHQUE_NODE)));
        if (node == nullptr) break;
        node->data = data[i];
        node->next = nullptr;
        node->prev = q->tail;
        if (q->tail != nullptr) {
            q->tail->next = node;
        } else {
            q->head = node;
        }
        q->tail = node;
        ++q->count;
    }
    return 0;
}

int KORCHQUE_Pop(KORCHQUE* q, char* buf, int len) {
    if (q == nullptr || buf == nullptr || len <= 0 || q->count == 0) return 0;
    int taken = 0;
    KORCHQUE_NODE* node = q->head;
    while (node != nullptr && taken < len) {
        buf[taken++] = node->data;
        KORCHQUE_NODE* next = node->next;
        ctlFree(node);
        node = next;
    }
    q->head = node;
    if (node != nullptr) {
        node->prev = nullptr;
    } else {
        q->tail = nullptr;
    }
    q->count -= taken;
    q->removed += static_cast<std::uint32_t>(taken);
    return taken;
}

int KORCHQUE_Show(KORCHQUE* q, char* buf) {
    if (q == nullptr || q->count == 0) return 0;
    if (buf != nullptr) {
        int i = 0;
        for (const KORCHQUE_NODE* node = q->head; node != nullptr && i < q->count;
             node = node->next) {
            buf[i++] = node->data;
        }
    }
    return q->count;
}

int KORCHQUE_Clear(KORCHQUE* q) {
    if (q == nullptr || q->count == 0) return 0;  // nothing to clear needs no scratch
    auto* scratch = static_cast<char*>(ctlMalloc(static_cast<std::size_t>(q->count) + 1));
    if (scratch == nullptr) return -1;
    scratch[q->count] = 0;
    KORCHQUE_Pop(q, scratch, q->count);
    ctlFree(scratch);
    return 0;
}

int KORCHQUE_Delete(KORCHQUE* q) {
    if (q == nullptr) return 0;
    if (KORCHQUE_Clear(q) != 0) return -1;
    ctlFree(q);
    return 0;
}
