// Line framing: a line ends at LF, runs of LF are one separator, and a fragment waits in the
// slot's buffer until its LF arrives.
#include "framing.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "../irc/dispatch.h"
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

// Appends what fits of the chunk behind the pending fragment; the rest of the chunk is dropped.
size_t skipLineFeeds(const char *buffer, size_t pos)
{
    while (pos < LINE_SIZE && buffer[pos] == '\n') ++pos;
    return pos;
}

void combine(char (&buffer)[LINE_SIZE], const char (&chunk)[LINE_SIZE], size_t pending)
{
    std::memcpy(buffer + pending, chunk, sizeof buffer - pending);
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
    char chunk[LINE_SIZE] = {};
    ssize_t got = read(c.sock, chunk, sizeof chunk);
    if (got <= 0) {
        // Closed and marked free before the reset, so no departure notice is written to the peer
        // that left, and nothing at all to a daemon link that has gone.
        close(c.sock);
        c.sock = 0;
        resetConnection(slot);
        std::fflush(stdout);
        return;
    }

    char *buffer = c.buffer;
    const size_t pending = strnlen(buffer, LINE_SIZE);
    combine(c.buffer, chunk, pending);
    const size_t length = strnlen(buffer, LINE_SIZE);
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

    // A fragment that has not found its LF after growing past 510 characters is given up.
    if (pending > 0 && strnlen(buffer, LINE_SIZE) > LINE_SIZE - 2) std::memset(c.buffer, 0, sizeof c.buffer);
    std::fflush(stdout);
}
