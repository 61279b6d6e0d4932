// Non-blocking output: a peer that reads slowly keeps its bytes here, never the loop waiting.
#include "out_queue.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

bool outAppend(OutQueue &q, const char *bytes, size_t length)
{
    if (q.tail + length > sizeof q.bytes && q.head > 0) {
        // Moves the unsent rest to the front; cheaper than a ring, since lines never wrap.
        std::memmove(q.bytes, q.bytes + q.head, q.tail - q.head);
        q.tail -= q.head;
        q.head = 0;
    }
    if (q.tail + length > sizeof q.bytes) return false;
    std::memcpy(q.bytes + q.tail, bytes, length);
    q.tail += length;
    return true;
}

Flush outFlush(OutQueue &q, int fd)
{
    while (!outEmpty(q)) {
        // MSG_NOSIGNAL: a peer that has gone away is a failed send, not the end of the process.
        const ssize_t sent = send(fd, q.bytes + q.head, q.tail - q.head, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? Flush::Blocked : Flush::Failed;
        }
        q.head += static_cast<size_t>(sent);
    }
    outClear(q);
    return Flush::Done;
}
