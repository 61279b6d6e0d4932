// Non-blocking output: a peer that reads slowly keeps its bytes here, never the loop waiting. The
// bytes wait in blocks of one pool, taken as a queue grows and given back as the socket takes them,
// the last given back first taken, so that the pages in use stay few however many peers there are.
#include "out_queue.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sizes.h"
#include "tls.h"

namespace {

struct alignas(OUT_BLOCK_SIZE) Block {
    char bytes[OUT_BLOCK_SIZE];
};

// Every queue of the exact node full at once: its slots and the node links.
constexpr int EXACT_BLOCKS = (MAX_CONNECTIONS + LINK_STREAMS) * OUT_BLOCKS_PER_QUEUE;
Block exactBlocks[EXACT_BLOCKS];
int exactNext[EXACT_BLOCKS];
int exactSpare[EXACT_BLOCKS];

struct Pool {
    Block *blocks = exactBlocks;
    int *next = exactNext;    // the block after each one in its queue
    int *spare = exactSpare;  // a stack of the blocks given back
    int capacity = EXACT_BLOCKS;
    int spareCount = 0;
    int touched = 0;  // blocks from here on were never used, so their pages need not be resident
    int inUse = 0;
    void *mapping = nullptr;
    size_t mappingBytes = 0;
};

Pool pool;

int takeBlock()
{
    ++pool.inUse;
    return pool.spareCount > 0 ? pool.spare[--pool.spareCount] : pool.touched++;
}

void giveBlock(int block)
{
    pool.spare[pool.spareCount++] = block;
    --pool.inUse;
}

int blocksLeft() { return pool.spareCount + (pool.capacity - pool.touched); }

char *bytesOf(int queueBlock) { return pool.blocks[queueBlock - 1].bytes; }

void appendBlock(OutQueue &q)
{
    const int block = takeBlock();
    pool.next[block] = -1;
    if (q.last != 0) {
        pool.next[q.last - 1] = block;
    } else {
        q.first = block + 1;
        q.head = 0;
    }
    q.last = block + 1;
    q.tail = 0;
}

// Where the bytes of the queue's first block end.
unsigned firstEnd(const OutQueue &q) { return q.first == q.last ? q.tail : OUT_BLOCK_SIZE; }

// The socket took `sent` bytes from the front: blocks it emptied go back to the pool.
void consume(OutQueue &q, size_t sent)
{
    q.queued -= static_cast<unsigned>(sent);
    while (sent > 0 || (q.first != 0 && q.head == firstEnd(q))) {
        const size_t taken = std::min(sent, static_cast<size_t>(firstEnd(q) - q.head));
        q.head += static_cast<unsigned>(taken);
        sent -= taken;
        if (q.head < firstEnd(q)) continue;
        const int done = q.first;
        if (done == q.last) {
            giveBlock(done - 1);
            q = OutQueue{};
            return;
        }
        q.first = pool.next[done - 1] + 1;
        q.head = 0;
        giveBlock(done - 1);
    }
}

}  // namespace

void outClear(OutQueue &q)
{
    for (int block = q.first; block != 0;) {
        const int next = block == q.last ? 0 : pool.next[block - 1] + 1;
        giveBlock(block - 1);
        block = next;
    }
    q = OutQueue{};
}

bool outAppend(OutQueue &q, const char *bytes, size_t length)
{
    if (length > outRoom(q)) return false;
    const size_t roomInLast = q.last != 0 ? OUT_BLOCK_SIZE - q.tail : 0;
    const size_t blocksNeeded = length > roomInLast ? (length - roomInLast + OUT_BLOCK_SIZE - 1) / OUT_BLOCK_SIZE : 0;
    if (blocksNeeded > static_cast<size_t>(blocksLeft())) return false;  // never, with the pool sized for every queue
    while (length > 0) {
        if (q.last == 0 || q.tail == OUT_BLOCK_SIZE) appendBlock(q);
        const size_t part = std::min(length, static_cast<size_t>(OUT_BLOCK_SIZE - q.tail));
        std::memcpy(bytesOf(q.last) + q.tail, bytes, part);
        q.tail += static_cast<unsigned>(part);
        q.queued += static_cast<unsigned>(part);
        bytes += part;
        length -= part;
    }
    return true;
}

Flush outFlush(OutQueue &q, int fd)
{
    while (!outEmpty(q)) {
        iovec parts[OUT_BLOCKS_PER_QUEUE];
        int count = 0;
        for (int block = q.first; block != 0 && count < OUT_BLOCKS_PER_QUEUE;) {
            const unsigned from = block == q.first ? q.head : 0;
            const unsigned to = block == q.last ? q.tail : OUT_BLOCK_SIZE;
            parts[count++] = {bytesOf(block) + from, to - from};
            block = block == q.last ? 0 : pool.next[block - 1] + 1;
        }
        // Without SIGPIPE: a peer that has gone away is a failed send, not the end of the process.
        const ssize_t sent = writeSocket(fd, parts, count);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Flush::Blocked : Flush::Failed;
        }
        consume(q, static_cast<size_t>(sent));
    }
    return Flush::Done;
}

bool sizeOutputPool(const TableSizes &sizes)
{
    const int capacity = (sizes.slots + LINK_STREAMS) * OUT_BLOCKS_PER_QUEUE;
    const bool exact = capacity <= EXACT_BLOCKS;
    if (exact && pool.blocks == exactBlocks) return true;
    // Blocks a queue holds cannot move to other storage.
    if (pool.inUse > 0) return false;
    const auto n = static_cast<size_t>(capacity);
    const size_t bytes = n * (sizeof(Block) + 2 * sizeof(int));
    void *mapping = exact ? nullptr : mapZeroed(bytes);
    if (!exact && !mapping) return false;
    unmapZeroed(pool.mapping, pool.mappingBytes);
    pool = Pool{};
    if (exact) return true;
    pool.blocks = static_cast<Block *>(mapping);
    pool.next = reinterpret_cast<int *>(pool.blocks + n);
    pool.spare = pool.next + n;
    pool.capacity = capacity;
    pool.mapping = mapping;
    pool.mappingBytes = bytes;
    return true;
}

int outBlocksInUse() { return pool.inUse; }
