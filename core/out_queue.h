// Bytes waiting for a peer's socket to take them: filled by whole lines, written by the loop. A
// queue holds blocks of a pool only while it holds bytes, so that an idle peer costs nothing here.
#pragma once

#include <cstddef>

#include "limits.h"

struct TableSizes;

inline constexpr int OUT_BLOCK_SIZE = 4096;  // a page: the pool's pages are resident only while used
// A queue's bytes and the part of its first block already sent span at most this many blocks.
inline constexpr int OUT_BLOCKS_PER_QUEUE = OUT_QUEUE_SIZE / OUT_BLOCK_SIZE + 1;
static_assert(OUT_QUEUE_SIZE % OUT_BLOCK_SIZE == 0, "a queue's room is whole blocks");
// The pool's share of each queue holds it full even when all but one byte of its first block is sent.
static_assert(OUT_BLOCK_SIZE - 1 + OUT_QUEUE_SIZE <= OUT_BLOCKS_PER_QUEUE * OUT_BLOCK_SIZE, "a full queue fits its share");

// Zero is an empty queue that holds no block.
struct OutQueue {
    int first;        // the block of the oldest byte, as 1 + its index in the pool; 0 while empty
    int last;         // the block the next byte goes to, the same way
    unsigned head;    // the oldest byte's offset in `first`
    unsigned tail;    // the offset behind the newest byte in `last`
    unsigned queued;  // bytes waiting, at most OUT_QUEUE_SIZE
};

enum class Flush { Done, Blocked, Failed };

inline bool outEmpty(const OutQueue &q) { return q.queued == 0; }
inline size_t outQueued(const OutQueue &q) { return q.queued; }
inline size_t outRoom(const OutQueue &q) { return OUT_QUEUE_SIZE - q.queued; }
// Gives the queue's blocks back and empties it.
void outClear(OutQueue &q);
// Queues the bytes whole or not at all, so the stream never holds half a line; false when full.
bool outAppend(OutQueue &q, const char *bytes, size_t length);
// Writes what the socket takes now, without waiting; the rest stays for the next pass.
Flush outFlush(OutQueue &q, int fd);

// The pool holds enough blocks for every slot's queue and every node link's to be full at once, so
// that no queue is ever refused a block another holds; false when the memory is refused.
bool sizeOutputPool(const TableSizes &sizes);
int outBlocksInUse();  // blocks that queues hold now
