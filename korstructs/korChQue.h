// A channel's input queue: a byte FIFO of at most KORCHQUE_CAPACITY bytes, one
// node per byte. The queue has no lock of its own: every call on a channel's
// queue is made while holding the channel table's tableSem (korHandleTable.h).
// Every operation accepts a null queue and treats it as an empty queue that
// stores nothing (a channel is never handed out without its queue).
#pragma once

#include <cstdint>

inline constexpr int KORCHQUE_CAPACITY = 8192;

struct KORCHQUE_NODE {
    char data;
    KORCHQUE_NODE* next;  // the next newer byte; null at the tail
    KORCHQUE_NODE* prev;  // the next older byte; null at the head
};

struct KORCHQUE {
    KORCHQUE_NODE* head;  // oldest byte; null when empty
    KORCHQUE_NODE* tail;  // newest byte; null when empty
    std::int32_t count;   // bytes queued, 0 .. KORCHQUE_CAPACITY
    // Bytes ever removed (wraps). A copy of the queue remembers it, so that a
    // later removal of the copied bytes skips those another reader took since.
    std::uint32_t removed;
};

// A new empty queue, or null when the header cannot be allocated.
KORCHQUE* KORCHQUE_Create();
// Appends up to len bytes; what does not fit under the capacity is dropped
// silently (queued bytes are never displaced). Always returns 0.
int KORCHQUE_Push(KORCHQUE* q, const char* data, int len);
// Removes up to len of the oldest bytes into buf; returns how many.
int KORCHQUE_Pop(KORCHQUE* q, char* buf, int len);
// Copies every queued byte into buf (when buf is not null; it must hold count
// bytes, KORCHQUE_CAPACITY always suffices) without removing them. Returns count.
int KORCHQUE_Show(KORCHQUE* q, char* buf);
// Removes everything: 0, or -1 (queue untouched) when the scratch buffer cannot
// be allocated (an empty queue needs none and always gives 0).
int KORCHQUE_Clear(KORCHQUE* q);
// Clears and frees the queue: 0, or -1 (queue kept) when clearing fails.
int KORCHQUE_Delete(KORCHQUE* q);
