// Bytes waiting for a peer's socket to take them: filled by whole lines, written by the loop.
#pragma once

#include <cstddef>

#include "limits.h"

struct OutQueue {
    char bytes[OUT_QUEUE_SIZE];
    size_t head;  // first byte not yet taken by the socket
    size_t tail;  // one past the last byte queued
};

enum class Flush { Done, Blocked, Failed };

inline bool outEmpty(const OutQueue &q) { return q.head == q.tail; }
inline void outClear(OutQueue &q) { q.head = q.tail = 0; }
// Queues the bytes whole or not at all, so the stream never holds half a line; false when full.
bool outAppend(OutQueue &q, const char *bytes, size_t length);
// Writes what the socket takes now, without waiting; the rest stays for the next pass.
Flush outFlush(OutQueue &q, int fd);
