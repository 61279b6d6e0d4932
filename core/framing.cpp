// Line framing: a line ends at LF, runs of LF are one separator, and a fragment waits in the
// slot's buffer until its LF arrives. A read takes only what fits behind the fragment, so no byte
// a peer sent is dropped for want of room; a line too long for the buffer (512 characters without
// their LF) is dropped whole, up to its own LF, and the lines after it are kept.
#include "framing.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "../irc/dispatch.h"
#include "../routing/pending_queue.h"
#include "connections.h"

namespace {

// Strips the CR of a CR LF end (the last character, wherever the CR stands) and skips empty lines.
void handOn(const char *line, int slot)
{
    char lineArea[LINE_SIZE] = {};
    std::memcpy(lineArea, line, strnlen(line, LINE_MAX_CHARS));
    size_t length = std::strlen(lineArea);
    if (std::strchr(lineArea, '\r')) lineArea[--length] = '\0';
    if (length > 0) parseCmd(lineArea, slot);
}

size_t skipLineFeeds(const char *buffer, size_t pos)
{
    while (pos < LINE_SIZE && buffer[pos] == '\n') ++pos;
    return pos;
}

// A daemon answer too long to read still counts as one, so the answers after it stay paired.
void giveUpLine(int slot)
{
    Connection &c = connections[slot];
    std::memset(c.buffer, 0, sizeof c.buffer);
    c.skippingLine = 1;
    if (slot == DAEMON_SLOT) finishUnreadableAnswer();
}

// Where the chunk's own text starts: past the end of a given-up line when one is being skipped,
// or `got` when the whole chunk still belongs to it.
size_t skipGivenUpLine(Connection &c, const char *chunk, size_t got)
{
    if (!c.skippingLine) return 0;
    const void *lf = std::memchr(chunk, '\n', got);
    if (!lf) return got;
    c.skippingLine = 0;
    return static_cast<size_t>(static_cast<const char *>(lf) - chunk) + 1;
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

void recvData(int slot)
{
    Connection &c = connections[slot];
    // A fragment that fills the buffer leaves no room for its LF: its line is too long.
    if (strnlen(c.buffer, LINE_SIZE) == LINE_SIZE) giveUpLine(slot);
    const size_t pending = strnlen(c.buffer, LINE_SIZE);
    char chunk[LINE_SIZE] = {};
    // What does not fit behind the fragment stays in the socket for the next pass.
    ssize_t got = read(c.sock, chunk, LINE_SIZE - pending);
    if (got <= 0) {
        // Closed and marked free before the reset, so no departure notice is written to the peer
        // that left, and nothing at all to a daemon link that has gone.
        close(c.sock);
        c.sock = 0;
        resetConnection(slot);
        std::fflush(stdout);
        return;
    }

    const size_t start = skipGivenUpLine(c, chunk, static_cast<size_t>(got));
    char *buffer = c.buffer;
    std::memcpy(buffer + pending, chunk + start, static_cast<size_t>(got) - start);
    const size_t length = strnlen(buffer, LINE_SIZE);
    // A zero byte ends the text; what the chunk held after it must not resurface in a later line.
    std::memset(buffer + length, 0, LINE_SIZE - length);
    const bool endsInLf = length > 0 && buffer[length - 1] == '\n';

    // Lines are read from the slot's own buffer: a QUIT among them empties it, so the lines
    // after the QUIT read as empty and nothing more is handled.
    size_t pos = skipLineFeeds(buffer, 0);
    while (pos < LINE_SIZE && buffer[pos] != '\0') {
        size_t end = pos;
        while (end < LINE_SIZE && buffer[end] != '\n' && buffer[end] != '\0') ++end;
        const size_t next = skipLineFeeds(buffer, end);
        const bool isLast = next >= LINE_SIZE || buffer[next] == '\0';
        if (isLast && !endsInLf) {
            // Only a text with an LF gets here, and the LF stands before pos, so shift stays inside.
            if (pos > 0) {
                int kept = shift(buffer, buffer + pos, LINE_SIZE - pos);
                if (kept > 0) std::memset(buffer + kept, 0, LINE_SIZE - kept);
            }
            break;
        }
        buffer[end] = '\0';
        handOn(buffer + pos, slot);
        pos = next;
    }
    if (endsInLf) std::memset(c.buffer, 0, sizeof c.buffer);
    std::fflush(stdout);
}
