// Output: every line the node sends is framed here and queued on its slot; the loop writes the
// queues once a pass, and a peer that stopped reading or failed is dropped, never waited for.
#include "output.h"

#include <algorithm>
#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "connections.h"
#include "readiness.h"
#include "sizes.h"
#include "slot_list.h"

namespace {

// Slots whose queues hold output, and slots marked to be dropped: the loop visits these, not the
// whole table.
SlotList pending;
SlotList broken;

}  // namespace

bool sizeOutputLists(const TableSizes &sizes) { return pending.size(sizes.slots) && broken.size(sizes.slots); }

void clearOutputLists()
{
    pending.clear();
    broken.clear();
}

void markBroken(int slot)
{
    connections[slot].broken = 1;
    broken.add(slot);
}

size_t frameLine(char (&line)[LINE_SIZE], const char *text)
{
    std::memset(line, 0, sizeof line);
    // A CR or LF inside would end the line early at the peer, and what follows would read as a
    // line of its own: replies echo a client's words, and framing keeps a CR that is not last.
    const size_t length = std::min(strnlen(text, SEND_TEXT_MAX), std::strcspn(text, "\r\n"));
    std::memcpy(line, text, length);
    line[length] = '\r';
    line[length + 1] = '\n';
    return length + 2;
}

int sendData(int slot, const char *text)
{
    assert(slot >= 0 && slot < slotCount());
    Connection &c = connections[slot];
    if (c.sock <= 0 || c.broken) return 0;
    char line[LINE_SIZE];
    const size_t length = frameLine(line, text);
    if (outAppend(c.out, line, length)) {
        pending.add(slot);
        return 1;
    }
    // Cutting the stream short would break a line or, on the daemon link, the pairing of answers.
    markBroken(slot);
    return 0;
}

void watchPendingOutput()
{
    pending.forEach([](int slot) {
        const Connection &c = connections[slot];
        if (c.sock > 0 && !outEmpty(c.out)) watchOwnWriting(c.sock, true);
    });
}

// A queue the socket took whole is no longer watched for writing; one it took in part is, until
// the socket takes the rest.
void flushOutput()
{
    pending.walk([](int slot) {
        Connection &c = connections[slot];
        if (c.sock <= 0 || c.broken) return false;
        const Flush flushed = outEmpty(c.out) ? Flush::Done : outFlush(c.out, c.sock);
        if (flushed == Flush::Failed) markBroken(slot);
        watchOwnWriting(c.sock, flushed == Flush::Blocked);
        return flushed == Flush::Blocked;
    });
}

// A reset can mark another peer (a notice to a member that stopped reading), so it runs until
// none is left; each round drops its peers in slot order.
void dropBrokenPeers()
{
    while (!broken.empty()) {
        broken.walk([](int slot) {
            if (connections[slot].sock != 0 && connections[slot].broken) dropConnection(slot);
            return false;
        });
    }
}

namespace {

void formatLineV(char (&line)[LINE_SIZE], const char *fmt, va_list ap)
{
    std::memset(line, 0, sizeof line);
    // The result is only the length it wanted; a cut line is what a full buffer means here.
    (void)std::vsnprintf(line, sizeof line, fmt, ap);
}

}  // namespace

void formatLine(char (&line)[LINE_SIZE], const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    formatLineV(line, fmt, ap);
    va_end(ap);
}

void replyf(int slot, const char *fmt, ...)
{
    char line[LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    formatLineV(line, fmt, ap);
    va_end(ap);
    sendData(slot, line);
}
