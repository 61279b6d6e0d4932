// Line framing: a line ends at LF, runs of LF are one separator, and a fragment waits in the
// slot's buffer until its LF arrives. A read takes only what fits behind the fragment, so no byte
// a peer sent is dropped for want of room; a line too long for the buffer (512 characters without
// their LF) is dropped whole, up to its own LF, and the lines after it are kept. A zero byte ends
// the text of its line: the line up to it is the line, what follows it up to the LF is dropped,
// and the LF still ends the line, so no line is glued to the next or lost behind it.
#include "framing.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "connections.h"
#include "hooks.h"
#include "sizes.h"
#include "tls.h"

namespace {

// The buffers of lines in progress, one pool for every slot: a slot holds one only while a line
// waits in it for its LF or for the handling of the one before it, and the one given back last is
// taken first, so that thousands of idle clients keep none of them resident.
struct InputBuffer {
    char bytes[LINE_SIZE];  // zero behind the text, and all zero when given back
};

InputBuffer exactBuffers[MAX_CONNECTIONS];
int exactSpare[MAX_CONNECTIONS];

struct InputPool {
    InputBuffer *buffers = exactBuffers;
    int *spare = exactSpare;
    int spareCount = 0;
    int touched = 0;  // buffers from here on were never used
};

InputPool inputPool;

// The slot's buffer, or nullptr while it holds none.
char *heldInput(const Connection &c) { return c.input != 0 ? inputPool.buffers[c.input - 1].bytes : nullptr; }

char *takeInput(Connection &c)
{
    if (c.input == 0) c.input = 1 + (inputPool.spareCount > 0 ? inputPool.spare[--inputPool.spareCount] : inputPool.touched++);
    return heldInput(c);
}

void giveBackIfEmpty(Connection &c)
{
    const char *held = heldInput(c);
    if (held && held[0] == '\0') {
        inputPool.spare[inputPool.spareCount++] = c.input - 1;
        c.input = 0;
    }
}

// Strips the CR of a CR LF end (the last character, wherever the CR stands) and skips empty lines.
void handOn(const char *line, int slot)
{
    char lineArea[LINE_SIZE] = {};
    std::memcpy(lineArea, line, strnlen(line, LINE_MAX_CHARS));
    size_t length = std::strlen(lineArea);
    if (std::strchr(lineArea, '\r')) lineArea[--length] = '\0';
    if (length > 0) coreHooks.handleLine(lineArea, slot);
}

size_t skipLineFeeds(const char *buffer, size_t pos)
{
    while (pos < LINE_SIZE && buffer[pos] == '\n') ++pos;
    return pos;
}

// A daemon answer too long to read still counts as one, so the answers after it stay paired; a
// client is told (in the profile), once for each line it loses.
void giveUpLine(int slot)
{
    Connection &c = connections[slot];
    if (char *held = heldInput(c)) std::memset(held, 0, LINE_SIZE);
    c.skippingLine = 1;
    if (slot == DAEMON_SLOT) {
        if (coreHooks.daemonLineLost) coreHooks.daemonLineLost();
    } else if (coreHooks.lineTooLong) {
        coreHooks.lineTooLong(slot);
    }
}

}  // namespace

int shift(char *dest, const char *src, size_t srcRoom)
{
    if (!src || srcRoom == 0 || *src == '\0') return 0;
    size_t n = 0;
    for (; n < srcRoom && src[n] != '\0'; ++n) dest[n] = src[n];
    dest[n] = '\0';
    return static_cast<int>(n + 1);
}

namespace {

// What follows pos becomes the fragment at the front of the buffer, the rest zeroed.
void keepFrom(char *buffer, size_t pos)
{
    if (pos >= LINE_SIZE || buffer[pos] == '\0') {
        std::memset(buffer, 0, LINE_SIZE);
        return;
    }
    if (pos == 0) return;
    const int kept = shift(buffer, buffer + pos, LINE_SIZE - pos);
    if (kept > 0) std::memset(buffer + kept, 0, LINE_SIZE - kept);
}

// Hands on every complete line in the slot's buffer, oldest first, and keeps the rest. Stops
// early when a line resets the slot (QUIT), marks it to be dropped, or holds its input: the
// lines after it then wait in the buffer.
void cutLines(int slot)
{
    Connection &c = connections[slot];
    const unsigned serial = c.serial;
    char *buffer = heldInput(c);
    if (!buffer) return;
    const size_t length = strnlen(buffer, LINE_SIZE);
    const bool endsInLf = length > 0 && buffer[length - 1] == '\n';
    size_t pos = skipLineFeeds(buffer, 0);
    while (pos < LINE_SIZE && buffer[pos] != '\0') {
        size_t end = pos;
        while (end < LINE_SIZE && buffer[end] != '\n' && buffer[end] != '\0') ++end;
        const size_t next = skipLineFeeds(buffer, end);
        const bool isLast = next >= LINE_SIZE || buffer[next] == '\0';
        if (isLast && !endsInLf) break;  // the fragment, which waits for its LF
        buffer[end] = '\0';
        handOn(buffer + pos, slot);
        // A reset has emptied the buffer, and with it the lines after this one.
        if (c.sock == 0 || c.serial != serial || c.broken) return;
        pos = next;
        if (c.holdInput) break;
    }
    keepFrom(buffer, pos);
}

// Drained: the socket gave less than there was room for, so it holds nothing more now; asking it
// again would cost a read that finds nothing, and what comes later makes the wait report it again.
enum class Read { Took, Drained, WouldBlock, Ended };

Read readOnce(int slot)
{
    Connection &c = connections[slot];
    const char *held = heldInput(c);
    // A fragment that fills the buffer leaves no room for its LF: its line is too long.
    if (held && strnlen(held, LINE_SIZE) == LINE_SIZE) giveUpLine(slot);
    const size_t pending = held ? strnlen(held, LINE_SIZE) : 0;
    char chunk[LINE_SIZE] = {};
    // What does not fit behind the fragment stays in the socket for the next read, and so does
    // what could bring a client more messages for other nodes than it may still have routed.
    size_t room = LINE_SIZE - pending;
    if (slot != DAEMON_SLOT && coreHooks.roomForLines)
        room = std::min(room, static_cast<size_t>(coreHooks.roomForLines(slot)) * SHORTEST_ROUTED_LINE);
    const ssize_t got = readSocket(c.sock, chunk, room);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Read::WouldBlock;
    if (got <= 0) {
        dropConnection(slot);
        return Read::Ended;
    }
    absorbBytes(slot, chunk, static_cast<size_t>(got));
    return static_cast<size_t>(got) < room ? Read::Drained : Read::Took;
}

}  // namespace

void absorbBytes(int slot, const char *chunk, size_t got)
{
    Connection &c = connections[slot];
    char *buffer = takeInput(c);
    size_t length = strnlen(buffer, LINE_SIZE);
    if (!c.skippingLine && !std::memchr(chunk, '\0', got)) {
        // The usual chunk is taken whole.
        const size_t taken = std::min(got, LINE_SIZE - length);
        std::memcpy(buffer + length, chunk, taken);
        length += taken;
    } else {
        // The bytes from a zero byte, or of a given-up line, are skipped up to the LF, which is
        // kept: it ends the line before them, and a leading LF is no line.
        for (size_t i = 0; i < got && length < LINE_SIZE; ++i) {
            if (chunk[i] == '\n') c.skippingLine = 0;
            else if (chunk[i] == '\0') c.skippingLine = 1;
            if (!c.skippingLine) buffer[length++] = chunk[i];
        }
    }
    if (length < LINE_SIZE) std::memset(buffer + length, 0, LINE_SIZE - length);
    cutLines(slot);
    giveBackIfEmpty(c);  // a reset among the lines has given it back already
}

void recvData(int slot)
{
    const unsigned serial = connections[slot].serial;
    for (int reads = 0; reads < READ_BUDGET / LINE_SIZE; ++reads) {
        if (connections[slot].serial != serial || !wantsInput(slot)) break;
        if (readOnce(slot) != Read::Took) break;
    }
    std::fflush(stdout);
}

void resumeInput(int slot)
{
    Connection &c = connections[slot];
    c.holdInput = 0;
    if (c.sock != 0) cutLines(slot);
    giveBackIfEmpty(c);
    std::fflush(stdout);
}

bool sizeInputBuffers(const TableSizes &sizes)
{
    const auto oldSlots = static_cast<size_t>(slotCount());
    const auto slots = static_cast<size_t>(sizes.slots);
    if (!resizeTable(inputPool.buffers, exactBuffers, oldSlots, slots) || !resizeTable(inputPool.spare, exactSpare, oldSlots, slots))
        return false;
    inputPool.spareCount = inputPool.touched = 0;
    return true;
}

char *inputBuffer(int slot) { return takeInput(connections[slot]); }

int inputBuffersHeld() { return inputPool.touched - inputPool.spareCount; }

const char *lineInProgress(int slot)
{
    static const char none[LINE_SIZE] = {};
    const char *held = heldInput(connections[slot]);
    return held ? held : none;
}

void releaseInput(Connection &c)
{
    if (char *held = heldInput(c)) std::memset(held, 0, LINE_SIZE);
    giveBackIfEmpty(c);
}
