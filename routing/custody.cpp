// Custody counts and message numbers. Every table here starts zeroed and untouched: a node
// without links never makes their pages resident.
#include "custody.h"

#include <sodium.h>

#include <cstring>

#include "../core/server.h"
#include "node_link.h"

namespace {

constexpr uint64_t WINDOW = LINK_WINDOW_LINES;

// Per neighbour: how many holders each line of its session still has (by number, modulo the
// window, which no opener exceeds past the oldest line not yet settled), the last line taken and
// the last one up to which all are settled.
struct Held {
    uint32_t generation;
    uint64_t taken;
    uint64_t settled;
    uint16_t holders[WINDOW];
};

Held held[MAX_NEIGHBORS];

// Per source node: the numbers of the latest run taken lately, as bits below the highest.
constexpr uint64_t SEEN_WINDOW = 1 << 16;
struct Seen {
    uint64_t session;
    uint64_t top;
    uint64_t bits[SEEN_WINDOW / 64];
};

Seen seen[MAX_NEIGHBORS];

Custody current;
uint64_t ownSession;
uint64_t ownCount;
uint64_t ownOrder;

// A line of a session since replaced is nobody's concern: its opener let go of it.
Held *heldFor(const Custody &c)
{
    return c.from > 0 && c.generation == held[c.from - 1].generation ? &held[c.from - 1] : nullptr;
}

void settle(Held &h)
{
    while (h.settled < h.taken && h.holders[(h.settled + 1) % WINDOW] == 0) ++h.settled;
}

bool isSet(const Seen &s, uint64_t number) { return (s.bits[number % SEEN_WINDOW / 64] >> (number % 64)) & 1; }

void flip(Seen &s, uint64_t number, bool on)
{
    uint64_t &word = s.bits[number % SEEN_WINDOW / 64];
    const uint64_t bit = uint64_t{1} << (number % 64);
    word = on ? word | bit : word & ~bit;
}

}  // namespace

void custodyRestart(int n)
{
    Held &h = held[n];
    ++h.generation;
    h.taken = h.settled = 0;
}

bool custodyFits(int n, uint64_t line) { return line > held[n].taken && line - held[n].settled <= WINDOW; }

uint64_t custodySettled(int n) { return held[n].settled; }

uint64_t custodyHeld(int n) { return held[n].taken - held[n].settled; }

CustodyScope::CustodyScope(const Custody &c) : saved_(current) { current = c; }

CustodyScope::CustodyScope(int n, uint64_t line, uint64_t session, uint64_t number) : saved_(current), holdsLine_(true)
{
    Held &h = held[n];
    h.taken = line;
    h.holders[line % WINDOW] = 1;
    current = {n + 1, h.generation, line, session, number, ++ownOrder, false};
}

CustodyScope::~CustodyScope()
{
    if (holdsLine_) {
        Custody line = current;
        custodyRelease(line);
    }
    current = saved_;
}

Custody custodyTaken(uint32_t srcNode)
{
    Custody c = current;
    if (c.order == 0) c.order = ++ownOrder;
    if (c.session == 0 && nodeLinks && srcNode == curr_nodeID) {
        while (ownSession == 0) randombytes_buf(&ownSession, sizeof ownSession);
        c.session = ownSession;
        c.number = ++ownCount;
    }
    custodyHold(c);
    return c;
}

const Custody &custodyNow() { return current; }

void custodyRepeat() { current.repeat = true; }

void custodyHold(const Custody &c)
{
    if (Held *h = heldFor(c)) ++h->holders[c.line % WINDOW];
}

void custodyRelease(Custody &c)
{
    if (Held *h = heldFor(c)) {
        if (--h->holders[c.line % WINDOW] == 0 && c.line == h->settled + 1) settle(*h);
    }
    c.from = 0;
}

bool custodySeenBefore(uint32_t srcNode, uint64_t session, uint64_t number)
{
    if (session == 0) return false;
    const int o = findNeighbor(srcNode);
    if (o < 0 || number == 0) return false;
    Seen &s = seen[o];
    if (s.session != session) {
        s.session = session;
        s.top = 0;
        std::memset(s.bits, 0, sizeof s.bits);
    }
    if (number + SEEN_WINDOW <= s.top) return false;
    if (number > s.top) {
        const uint64_t from = number - s.top > SEEN_WINDOW ? number - SEEN_WINDOW : s.top;
        for (uint64_t k = from + 1; k <= number; ++k) flip(s, k, false);
        s.top = number;
    }
    if (isSet(s, number)) return true;
    flip(s, number, true);
    return false;
}

void custodyForget(uint32_t srcNode, uint64_t session, uint64_t number)
{
    const int o = findNeighbor(srcNode);
    if (o >= 0 && session != 0 && seen[o].session == session && number + SEEN_WINDOW > seen[o].top) flip(seen[o], number, false);
}

// The ID line is written and read for every message on a link, so it is done by hand: a
// formatted print and a scan cost as much as the rest of the line's handling.
size_t custodyIdLine(const Custody &c, char *buffer, size_t size)
{
    constexpr size_t MOST = 3 + 16 + 1 + 20 + 2;
    if (c.session == 0 || size < MOST) return 0;
    static constexpr char HEX[] = "0123456789abcdef";
    char *p = buffer;
    *p++ = 'I';
    *p++ = 'D';
    *p++ = ' ';
    for (int shift = 60; shift >= 0; shift -= 4) *p++ = HEX[(c.session >> shift) & 0xf];
    *p++ = ' ';
    char digits[20];
    int count = 0;
    for (uint64_t n = c.number; count == 0 || n > 0; n /= 10) digits[count++] = static_cast<char>('0' + n % 10);
    while (count > 0) *p++ = digits[--count];
    *p++ = '\r';
    *p++ = '\n';
    return static_cast<size_t>(p - buffer);
}

bool isCustodyIdLine(const char *line) { return line[0] == 'I' && line[1] == 'D' && line[2] == ' '; }

// "ID <16 lowercase hex digits> <decimal number>", neither of them 0, and nothing else.
bool readCustodyId(const char *line, uint64_t &session, uint64_t &number)
{
    if (!isCustodyIdLine(line)) return false;
    const char *p = line + 3;
    session = 0;
    for (int i = 0; i < 16; ++i, ++p) {
        const int digit = *p >= '0' && *p <= '9' ? *p - '0' : *p >= 'a' && *p <= 'f' ? *p - 'a' + 10 : -1;
        if (digit < 0) return false;
        session = session << 4 | static_cast<uint64_t>(digit);
    }
    if (*p++ != ' ' || *p == '\0') return false;
    number = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || number > (UINT64_MAX - 9) / 10) return false;
        number = number * 10 + static_cast<uint64_t>(*p - '0');
    }
    return session != 0 && number != 0;
}

void resetCustody()
{
    for (Held &h : held) custodyRestart(static_cast<int>(&h - held));
    for (Seen &s : seen) s.session = s.top = 0;
    current = {};
    ownCount = 0;
}
