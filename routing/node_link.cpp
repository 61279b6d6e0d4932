// Node links, both ends. Every socket here is non-blocking and driven by the loop's one wait: an
// opening that stalls, a neighbour that stops reading or acknowledging, a forged or garbled byte
// all end in a closed link and a trace, never in a wait.
#include "node_link.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "../core/clock.h"
#include "../core/connections.h"
#include "../core/log.h"
#include "../core/out_queue.h"
#include "../core/server.h"
#include "../core/text.h"
#include "../rtlib/rt_args.h"
#include "../rtlib/rt_key.h"
#include "custody.h"
#include "link_crypto.h"
#include "route_cache.h"

bool nodeLinks;

namespace {

constexpr char WORD_LINK[] = "LINK";
constexpr char WORD_LINKED[] = "LINKED";
constexpr char WORD_PROOF[] = "PROOF";
constexpr char WORD_ACK[] = "ACK";
constexpr char WORD_BACK[] = "BACK";
constexpr char WORD_AGAIN[] = "AGAIN";
constexpr char NO_FIELD[] = "-";
constexpr size_t SESSION_HEX = 16;

// The opening, from the connect to the last of its three lines.
constexpr long long OPENING_LIMIT_MS = 2000;
// A neighbour that answered the opening with anything but LINKED gets one-shot lines this long
// before it is asked again: it may be a node that does not link, and may be restarted as one that does.
constexpr long long ONE_SHOT_MS = 60 * 1000;
constexpr long long RETRY_FIRST_MS = 50;
// Closed or left unanswered after the connect this many times in a row: a node that does not link
// (it takes the opening for a client's line, and stays silent, or has no room for a client).
constexpr int FAILED_OPENINGS_MAX = 3;
constexpr long long RETRY_MAX_MS = 1000;
// Lines in flight without any acknowledgement this long: the neighbour stopped reading.
constexpr long long STALL_MS = 5000;
// The receiver acknowledges at most once a millisecond, unless this many lines wait for it.
constexpr long long ACK_GAP_MS = 1;
constexpr uint64_t ACK_LINES = LINK_WINDOW_LINES / 8;
// While it holds lines it has yet to hand on, the receiver says its count again this often, so
// that a next hop slower than the stall limit does not look like a receiver that stopped reading.
constexpr long long ACK_AGAIN_MS = STALL_MS / 5;

constexpr char FMT_OPENING[] = "LINK %lu %lu %s %s";
constexpr char FMT_LINKED[] = "LINKED %s %" PRIu64 " %s";
constexpr char FMT_PROOF[] = "PROOF %s";
constexpr char FMT_ACK[] = "ACK %" PRIu64;
constexpr char FMT_BACK[] = "BACK %" PRIu64;
constexpr char FMT_TRACE[] = "Link %s node %lu: %s\n";

long long nowMicros()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void trace(const char *direction, int n, const char *what)
{
    if (argList.verbose != 1) return logInfo("link %s node %lu: %s", direction, static_cast<unsigned long>(neighborNodes[n]->nodeID), what);
    std::printf(FMT_TRACE, direction, static_cast<unsigned long>(neighborNodes[n]->nodeID), what);
    std::fflush(stdout);
}

// One direction's bytes of a link, clear or sealed in frames, and the lines cut from them.
struct Stream {
    int fd;
    bool keyed;  // the opening is over and the bytes are sealed
    LinkCipher cipher;
    unsigned char raw[LINK_FRAME_MAX];  // read, not yet opened
    size_t rawLength;
    char plain[LINK_FRAME_PLAIN_MAX + LINE_SIZE];  // opened or clear bytes, not yet cut into lines
    size_t plainStart;
    size_t plainLength;
    char batch[LINK_FRAME_PLAIN_MAX];  // lines for the next frame
    size_t batchLength;
    OutQueue out;
    bool broken;
};

void closeStream(Stream &s)
{
    if (s.fd > 0) close(s.fd);
    s.fd = 0;
    if (s.keyed || s.cipher.outReady || s.cipher.inReady) linkCipherForget(s.cipher);
    s.keyed = false;
    s.rawLength = s.plainStart = s.plainLength = s.batchLength = 0;
    outClear(s.out);
    s.broken = false;
}

enum class Got { Line, None, Broken };

// The opening's lines are clear, and what came behind the last of them is already sealed.
void beginSealed(Stream &s)
{
    const size_t left = s.plainLength - s.plainStart;
    std::memcpy(s.raw, s.plain + s.plainStart, left);
    s.rawLength = left;
    s.plainStart = s.plainLength = 0;
    s.keyed = true;
}

void compactPlain(Stream &s)
{
    const size_t left = s.plainLength - s.plainStart;
    std::memmove(s.plain, s.plain + s.plainStart, left);
    s.plainStart = 0;
    s.plainLength = left;
}

// Reads what fits (at most `limit` bytes, so that no sealed byte is taken for clear during the
// opening); false when the peer closed or failed.
bool readStream(Stream &s, size_t limit)
{
    void *into;
    size_t room;
    if (s.keyed) {
        into = s.raw + s.rawLength;
        room = sizeof s.raw - s.rawLength;
    } else {
        compactPlain(s);
        into = s.plain + s.plainLength;
        room = sizeof s.plain - s.plainLength;
    }
    if (room > limit) room = limit;
    if (room == 0) return true;
    ssize_t got;
    do {
        got = recv(s.fd, into, room, MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    if (got == 0) return false;
    if (s.keyed) s.rawLength += static_cast<size_t>(got);
    else s.plainLength += static_cast<size_t>(got);
    return true;
}

Got openFrame(Stream &s)
{
    compactPlain(s);
    if (sizeof s.plain - s.plainLength < LINK_FRAME_PLAIN_MAX) return Got::None;
    size_t used = 0;
    size_t opened = 0;
    switch (linkOpen(s.cipher, s.raw, s.rawLength, used, s.plain + s.plainLength, opened)) {
    case LinkOpen::NeedMore: return Got::None;
    case LinkOpen::Forged: return Got::Broken;
    case LinkOpen::Opened: break;
    }
    std::memmove(s.raw, s.raw + used, s.rawLength - used);
    s.rawLength -= used;
    s.plainLength += opened;
    return Got::Line;
}

// The next line, without its CR LF. A line that outgrows a line's room, or holds a zero byte, is
// no node's: the link is broken.
Got nextLine(Stream &s, char (&line)[LINE_SIZE])
{
    for (;;) {
        const char *from = s.plain + s.plainStart;
        const size_t left = s.plainLength - s.plainStart;
        const char *lf = static_cast<const char *>(std::memchr(from, '\n', left));
        if (lf) {
            size_t length = static_cast<size_t>(lf - from);
            s.plainStart += length + 1;
            if (length > 0 && from[length - 1] == '\r') --length;
            if (length > LINE_MAX_CHARS || std::memchr(from, '\0', length)) return Got::Broken;
            std::memcpy(line, from, length);
            line[length] = '\0';
            if (length == 0) continue;
            return Got::Line;
        }
        // A line still waiting for its LF holds at most its characters and a CR.
        if (left >= LINE_MAX_CHARS + 2) return Got::Broken;
        if (!s.keyed) return Got::None;
        const Got frame = openFrame(s);
        if (frame != Got::Line) return frame;
    }
}

bool sealBatch(Stream &s)
{
    if (!s.keyed || s.batchLength == 0) return true;
    unsigned char frame[LINK_FRAME_MAX];
    const size_t length = linkSeal(s.cipher, s.batch, s.batchLength, frame);
    s.batchLength = 0;
    return outAppend(s.out, reinterpret_cast<const char *>(frame), length);
}

// Queues bytes that end in CR LF; a stream whose queue cannot take them is broken.
void writeBytes(Stream &s, const char *bytes, size_t length)
{
    if (s.keyed) {
        if (s.batchLength + length > sizeof s.batch && !sealBatch(s)) s.broken = true;
        std::memcpy(s.batch + s.batchLength, bytes, length);
        s.batchLength += length;
        return;
    }
    if (!outAppend(s.out, bytes, length)) s.broken = true;
}

void writeLine(Stream &s, const char *text)
{
    char wire[LINE_SIZE];
    writeBytes(s, wire, frameLine(wire, text));
}

void flushStream(Stream &s)
{
    if (s.fd <= 0 || s.broken) return;
    if (!sealBatch(s) || (!outEmpty(s.out) && outFlush(s.out, s.fd) == Flush::Failed)) s.broken = true;
}

size_t queueRoom(const Stream &s) { return outRoom(s.out); }

// Whole words of exactly `digits` hex digits.
bool isHexWord(const char *word, size_t digits)
{
    if (!word || std::strlen(word) != digits) return false;
    for (const char *p = word; *p; ++p)
        if (!std::strchr("0123456789abcdefABCDEF", *p)) return false;
    return true;
}

bool readCount(const char *word, uint64_t &value)
{
    if (!word || *word == '\0' || std::strlen(word) > 19) return false;
    value = 0;
    for (const char *p = word; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        value = value * 10 + static_cast<uint64_t>(*p - '0');
    }
    return true;
}

// The words of a line, split at single spaces, at most `count`; the line is cut up in place.
int splitWords(char *line, const char *(&words)[6])
{
    int count = 0;
    for (char *p = line; *p && count < 6;) {
        while (*p == ' ') *p++ = '\0';
        if (*p == '\0') break;
        words[count++] = p;
        while (*p && *p != ' ') ++p;
    }
    return count;
}

// A transcript of the opening: each line's text, one LF between them.
struct Transcript {
    char text[3 * LINE_SIZE];
    size_t length;
    void add(const char *line)
    {
        if (length > 0 && length < sizeof text) text[length++] = '\n';
        const size_t n = strnlen(line, sizeof text - length);
        std::memcpy(text + length, line, n);
        length += n;
    }
};

// Both ends seal with keys drawn from the opening line and the acceptor's nonce.
void cipherTranscript(Transcript &t, const char *opening, const char *acceptorNonce)
{
    t.length = 0;
    t.add(opening);
    t.add(acceptorNonce);
}

// ---- The sending end ----

struct Flight {
    uint16_t length[LINK_WINDOW_LINES];
    long long sentAtUs[LINK_WINDOW_LINES];
    int head;
    int count;
    size_t bytes;
};

struct OutLink {
    LinkState state;
    bool connecting;
    bool wanted;
    long long stageAt;
    long long upSince;
    long long retryAt;
    long long retryGap;
    long long downSince;
    long long oneShotUntil;
    long long lastProgressAt;
    int failedOpenings;  // in a row: a neighbour that keeps closing the opening does not link
    char opening[LINE_SIZE];
    uint64_t session;
    uint64_t acknowledged;  // the acceptor's count of this session's lines: the oldest in flight is the next
    Flight flight;
    int toResend;
    unsigned long long sent, acked, resent;
    long long roundTripUs;
    Stream s;
};

OutLink outLinks[MAX_NEIGHBORS];
int flightTotal;

// Since when no link with each neighbour is up after one broke (0: one is up, or it was told).
long long lostSince[MAX_NEIGHBORS];

bool anyLinkUp(int n);

void linkBroke(int n)
{
    if (!anyLinkUp(n) && lostSince[n] == 0) lostSince[n] = nowMillis();
}

void linkUpWith(int n) { lostSince[n] = 0; }

// A neighbour whose machine vanished without a reset would leave a link that looks up for as
// long as no line needs it: TCP probes an idle link every second, and gives up on one whose
// bytes or probes go unanswered for three, so that a split is seen within seconds.
void watchNeighbour(int fd)
{
    const int on = 1, idleS = 1, intervalS = 1, probes = 3;
    const unsigned userTimeoutMs = 3000;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

uint64_t freshSession()
{
    uint64_t session = 0;
    while (session == 0) randombytes_buf(&session, sizeof session);
    return session;
}

void forgetFlight(OutLink &l)
{
    flightTotal -= l.flight.count;
    l.flight.head = l.flight.count = 0;
    l.flight.bytes = 0;
}

// Drops the oldest `count` lines in flight; the last one's time gives the round trip.
void landFlight(OutLink &l, int count)
{
    Flight &f = l.flight;
    for (int i = 0; i < count; ++i) {
        if (i == count - 1) l.roundTripUs = nowMicros() - f.sentAtUs[f.head];
        f.bytes -= f.length[f.head];
        f.head = (f.head + 1) % LINK_WINDOW_LINES;
    }
    f.count -= count;
    flightTotal -= count;
}

void linkDown(int n, const char *why)
{
    OutLink &l = outLinks[n];
    const bool wasUp = l.state == LinkState::Up;
    // A neighbour that took the connection was there until now: the down time starts again.
    const bool wasThere = l.state == LinkState::Opening && !l.connecting;
    trace("to", n, why);
    closeStream(l.s);
    l.state = LinkState::Down;
    l.connecting = false;
    const long long now = nowMillis();
    if (l.downSince == 0 || wasThere) l.downSince = now;
    // The tables start zeroed, untouched, so that a link never used costs no resident memory.
    const long long gap = l.retryGap > 0 ? l.retryGap : RETRY_FIRST_MS;
    l.retryAt = now + gap;
    l.retryGap = gap * 2 > RETRY_MAX_MS ? RETRY_MAX_MS : gap * 2;
    if (!wasUp) return;
    // Lines in flight wait for the next link: it is opened as soon as the retry is due, not when
    // something else wakes the loop, which may be after they were taken back under a new session.
    if (l.flight.count > 0) l.wanted = true;
    linkBroke(n);
}

// A neighbour that does not link: forwarding sends it one-shot lines meanwhile, and lets go of the
// lines in flight on the link, which it may have handled.
void takeAsOneShot(int n, const char *why)
{
    OutLink &l = outLinks[n];
    linkDown(n, why);
    l.state = LinkState::OneShot;
    l.oneShotUntil = nowMillis() + ONE_SHOT_MS;
}

void startOpening(int n, long long now)
{
    OutLink &l = outLinks[n];
    if (l.session == 0) l.session = freshSession();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (!canWatch(fd)) {
        if (fd >= 0) close(fd);
        return linkDown(n, "no descriptor for the link");
    }
    closeStream(l.s);
    l.s.fd = fd;
    l.state = LinkState::Opening;
    l.connecting = true;
    l.stageAt = now;
    watchNeighbour(fd);
    if (curr_node_config_entry) (void)bindSource(fd, curr_node_config_entry->ipaddr);
    const sockaddr_in addr = socketAddress(neighborNodes[n]->ipaddr, neighborNodes[n]->server_port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) < 0 && errno != EINPROGRESS)
        return linkDown(n, "connect failed");
}

void sendOpening(int n)
{
    OutLink &l = outLinks[n];
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(l.s.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) return linkDown(n, "connect failed");
    unsigned char nonce[LINK_NONCE_SIZE];
    linkFreshNonce(nonce);
    char nonceHex[LINK_NONCE_HEX + 1];
    linkHex(nonce, sizeof nonce, nonceHex);
    char session[SESSION_HEX + 1];
    std::snprintf(session, sizeof session, "%016" PRIx64, l.session);
    formatLine(l.opening, FMT_OPENING, static_cast<unsigned long>(curr_nodeID),
               static_cast<unsigned long>(neighborNodes[n]->nodeID), nonceHex, session);
    l.connecting = false;
    writeLine(l.s, l.opening);
    flushStream(l.s);
}

// Both proof and header are present with the key and "-" without it; a neighbour that disagrees
// has another key, or none.
bool fieldsMatchKey(const char *header, const char *proof)
{
    const bool keyed = rt_key_loaded();
    if (keyed) return isHexWord(header, LINK_HEADER_HEX) && isHexWord(proof, LINK_PROOF_HEX);
    return std::strcmp(header, NO_FIELD) == 0 && std::strcmp(proof, NO_FIELD) == 0;
}

// LINKED <nonce> <handled> <header> <proof>: the link is up once it proves the key, and its count
// says which lines in flight on the last link it handled.
void takeLinked(int n, char *line)
{
    OutLink &l = outLinks[n];
    const char *w[6] = {};
    const int words = splitWords(line, w);
    if (words < 1 || std::strcmp(w[0], WORD_LINKED) != 0) return takeAsOneShot(n, "answered without linking: one-shot lines");
    uint64_t handled = 0;
    if (words != 5 || !isHexWord(w[1], LINK_NONCE_HEX) || !readCount(w[2], handled) || !fieldsMatchKey(w[3], w[4]))
        return linkDown(n, "opening refused: its answer does not read, or the key differs");
    char unproven[LINE_SIZE];
    formatLine(unproven, "%s %s %s %s", w[0], w[1], w[2], w[3]);
    Transcript proven{};
    proven.add(l.opening);
    proven.add(unproven);
    const bool keyed = rt_key_loaded();
    if (keyed && !linkProofValid(LinkRole::Acceptor, proven.text, proven.length, w[4]))
        return linkDown(n, "opening refused: the answer does not prove the network key");
    if (handled > l.acknowledged + static_cast<uint64_t>(l.flight.count) || (handled < l.acknowledged && handled != 0))
        return linkDown(n, "opening refused: it counts lines it was never sent");
    char header[LINK_HEADER_HEX + 1] = "-";
    char proof[LINK_PROOF_HEX + 1] = "-";
    Transcript keys{};
    if (keyed) {
        cipherTranscript(keys, l.opening, w[1]);
        linkCipherStartOut(l.s.cipher, LinkRole::Opener, keys.text, keys.length, header);
        if (!linkCipherStartIn(l.s.cipher, LinkRole::Opener, keys.text, keys.length, w[3]))
            return linkDown(n, "opening refused: bad stream header");
    }
    char reply[LINE_SIZE];
    formatLine(reply, FMT_PROOF, header);
    proven.add(reply);
    if (keyed) linkProof(LinkRole::Opener, proven.text, proven.length, proof);
    char full[LINE_SIZE];
    formatLine(full, "%s %s", reply, proof);
    writeLine(l.s, full);
    if (keyed) beginSealed(l.s);
    // A count below what it acknowledged before is a neighbour that restarted: every line in flight goes again.
    const int alreadyHandled = handled >= l.acknowledged ? static_cast<int>(handled - l.acknowledged) : 0;
    landFlight(l, alreadyHandled);
    l.toResend = l.flight.count;
    forgetFlight(l);
    l.acknowledged = handled;
    l.state = LinkState::Up;
    l.upSince = l.lastProgressAt = nowMillis();
    l.retryGap = RETRY_FIRST_MS;
    l.downSince = 0;
    l.wanted = false;
    l.failedOpenings = 0;
    trace("to", n, keyed ? "up, sealed" : "up, clear");
    linkUpWith(n);
    linkCameUp(n, alreadyHandled);
}

void readOpeningAnswer(int n)
{
    OutLink &l = outLinks[n];
    if (!readStream(l.s, LINE_SIZE)) {
        if (++l.failedOpenings >= FAILED_OPENINGS_MAX) return takeAsOneShot(n, "closes every opening: one-shot lines");
        return linkDown(n, "closed during the opening");
    }
    char line[LINE_SIZE];
    const Got got = nextLine(l.s, line);
    if (got == Got::Broken) return takeAsOneShot(n, "answered without linking: one-shot lines");
    if (got == Got::Line) takeLinked(n, line);
}

void takeAnswer(int n, char *line)
{
    OutLink &l = outLinks[n];
    const char *w[6] = {};
    uint64_t count = 0;
    const int words = splitWords(line, w);
    const bool ack = words == 2 && std::strcmp(w[0], WORD_ACK) == 0;
    const bool back = words == 2 && std::strcmp(w[0], WORD_BACK) == 0;
    if ((!ack && !back) || !readCount(w[1], count)) return linkDown(n, "an answer that does not read");
    const uint64_t last = l.acknowledged + static_cast<uint64_t>(l.flight.count);
    if (ack && count >= l.acknowledged && count <= last) {
        const int landed = static_cast<int>(count - l.acknowledged);
        l.acknowledged = count;
        l.acked += static_cast<unsigned long long>(landed);
        l.lastProgressAt = nowMillis();
        landFlight(l, landed);
        if (landed > 0) linkAcknowledged(n, landed);
        return;
    }
    if (back && count > l.acknowledged && count <= last)
        return linkHandedBack(n, static_cast<int>(count - l.acknowledged - 1));
    linkDown(n, "an answer for lines it was never sent");
}

void readAnswers(int n)
{
    OutLink &l = outLinks[n];
    if (!readStream(l.s, sizeof l.s.raw)) return linkDown(n, "closed by the neighbour");
    char line[LINE_SIZE];
    for (;;) {
        const Got got = nextLine(l.s, line);
        if (got == Got::Broken) return linkDown(n, "bytes that do not read as answers");
        if (got == Got::None) return;
        takeAnswer(n, line);
        if (l.state != LinkState::Up) return;
    }
}

void watchOutLink(int n, long long now)
{
    const OutLink &l = outLinks[n];
    switch (l.state) {
    case LinkState::Down:
        if (l.wanted) wakeWithinMs(l.retryAt - now);
        return;
    case LinkState::Opening:
        if (l.connecting) watchWrite(l.s.fd);
        else watchRead(l.s.fd);
        wakeWithinMs(l.stageAt + OPENING_LIMIT_MS - now);
        return;
    case LinkState::Up:
        watchRead(l.s.fd);
        if (!outEmpty(l.s.out)) watchWrite(l.s.fd);
        if (l.flight.count > 0) wakeWithinMs(l.lastProgressAt + STALL_MS - now);
        return;
    case LinkState::OneShot:
        return;
    }
}

void driveOutLink(int n, long long now)
{
    OutLink &l = outLinks[n];
    if (l.state == LinkState::OneShot && now >= l.oneShotUntil) l.state = LinkState::Down;
    if (l.state == LinkState::Down && l.wanted && now >= l.retryAt) startOpening(n, now);
    if (l.state == LinkState::Opening) {
        if (l.connecting && isWritable(l.s.fd)) sendOpening(n);
        else if (!l.connecting && isReadable(l.s.fd)) readOpeningAnswer(n);
        // A port that never answers the opening belongs to a node that does not link, or to one
        // too busy for a moment: it is tried again a few times first.
        if (l.state == LinkState::Opening && now - l.stageAt >= OPENING_LIMIT_MS) {
            if (l.connecting) return linkDown(n, "connect timed out");
            if (++l.failedOpenings >= FAILED_OPENINGS_MAX) return takeAsOneShot(n, "no answer to the opening: one-shot lines");
            return linkDown(n, "no answer to the opening");
        }
    }
    if (l.state != LinkState::Up) return;
    if (isReadable(l.s.fd)) readAnswers(n);
    if (l.state == LinkState::Up && l.flight.count > 0 && now - l.lastProgressAt >= STALL_MS)
        linkDown(n, "no acknowledgement for too long: it stopped reading");
}

void flushOutLink(int n)
{
    OutLink &l = outLinks[n];
    if (l.state != LinkState::Opening && l.state != LinkState::Up) return;
    flushStream(l.s);
    if (l.s.broken) linkDown(n, "write failed");
}

// ---- The receiving end ----

// What this node remembers of each neighbour's latest session, across its links.
struct PeerMemory {
    uint64_t session;
    uint64_t handled;
    // A line was handed back and no AGAIN says the opener heard it: a BACK lost with its link
    // would let the count or the skip pass over a line that was never handed on.
    bool backUnheard;
};

PeerMemory memory[MAX_NEIGHBORS];

struct InLink {
    bool used;
    int n;  // the neighbour
    bool up;
    uint64_t session;
    uint64_t handledAtOpening;
    long long since;
    Transcript proven;  // the opening so far, for the opener's proof
    Transcript keys;
    uint64_t ackedSent;
    long long lastAckAt;
    // Lines the link it replaces handled after this one's count was given: they come again first.
    uint64_t skip;
    // The number the next line travels under, from the ID line before it (0: unnumbered).
    uint64_t idSession;
    uint64_t idNumber;
    // A line was handed back: so is every line after it until the opener says AGAIN, so that no
    // later line of a sender overtakes it.
    bool refusing;
    bool linesLeft;  // the last pass stopped for want of room, maybe before the end of what was read
    bool restart;    // counted from 0 again: every line in flight comes again, repeats known by number
    Stream s;
};

constexpr int IN_LINKS = 2 * MAX_NEIGHBORS;  // one up and one opening for every neighbour
InLink inLinks[IN_LINKS];
// One past the highest entry ever used: entries are taken lowest first, so the loop's passes look
// only at the few that a node's neighbours use, and the pages of the others are never touched.
int inLinksTop;

void dropInLink(InLink &in, const char *why)
{
    if (in.used) trace("from", in.n, why);
    closeStream(in.s);
    const bool wasUp = in.used && in.up;
    in.used = false;
    in.up = false;
    if (wasUp) linkBroke(in.n);
}

bool anyLinkUp(int n)
{
    if (outLinks[n].state == LinkState::Up) return true;
    for (int i = 0; i < inLinksTop; ++i)
        if (inLinks[i].used && inLinks[i].up && inLinks[i].n == n) return true;
    return false;
}

// A neighbour whose links all broke and stayed down: a node that died, or a cut between the two.
void noticeLostNeighbours(long long now)
{
    for (int n = 0; n < neighbors; ++n) {
        if (lostSince[n] == 0 || now - lostSince[n] < LINK_SPLIT_MS) continue;
        lostSince[n] = 0;
        if (!anyLinkUp(n)) linkNeighbourLost(n);
    }
}

// A neighbour has at most OPENINGS_PER_NEIGHBOUR openings under way; a newer one replaces the
// oldest. An opening changes nothing until it has proven itself, so one that never will (anyone
// may connect from a neighbour's machine) stops no link that works.
constexpr int OPENINGS_PER_NEIGHBOUR = 2;

int freeInLink(int n)
{
    int freeEntry = -1;
    int oldest = -1;
    int openings = 0;
    for (int i = 0; i < IN_LINKS; ++i) {
        if (i >= inLinksTop && freeEntry >= 0) break;
        const InLink &in = inLinks[i];
        if (!in.used && freeEntry < 0) freeEntry = i;
        if (!in.used || in.n != n || in.up) continue;
        ++openings;
        if (oldest < 0 || in.since < inLinks[oldest].since) oldest = i;
    }
    if (openings < OPENINGS_PER_NEIGHBOUR) return freeEntry;
    dropInLink(inLinks[oldest], "opening replaced by a newer one");
    return oldest;
}

// PROOF <header> <proof>: the opener proves the key, and the link replaces the one it had.
void takeProof(InLink &in, char *line)
{
    const char *w[6] = {};
    const int words = splitWords(line, w);
    if (words != 3 || std::strcmp(w[0], WORD_PROOF) != 0 || !fieldsMatchKey(w[1], w[2]))
        return dropInLink(in, "opening refused: its proof does not read, or the key differs");
    char unproven[LINE_SIZE];
    formatLine(unproven, FMT_PROOF, w[1]);
    in.proven.add(unproven);
    const bool keyed = rt_key_loaded();
    if (keyed && !linkProofValid(LinkRole::Opener, in.proven.text, in.proven.length, w[2]))
        return dropInLink(in, "opening refused: it does not prove the network key");
    if (keyed && !linkCipherStartIn(in.s.cipher, LinkRole::Acceptor, in.keys.text, in.keys.length, w[1]))
        return dropInLink(in, "opening refused: bad stream header");
    for (InLink &old : inLinks)
        if (&old != &in && old.used && old.n == in.n && old.up) dropInLink(old, "replaced by a new link");
    PeerMemory &m = memory[in.n];
    // The link it replaces handed a line back after this one's count was given: counted again.
    if (m.session == in.session && m.backUnheard && !in.restart) return dropInLink(in, "opening refused: a line was handed back meanwhile");
    if (m.session != in.session || in.restart) {
        m = {in.session, 0, false};
        custodyRestart(in.n);
    }
    in.skip = m.handled > in.handledAtOpening ? m.handled - in.handledAtOpening : 0;
    if (keyed) beginSealed(in.s);
    in.up = true;
    in.ackedSent = in.handledAtOpening;
    in.lastAckAt = nowMillis();
    trace("from", in.n, keyed ? "up, sealed" : "up, clear");
    linkUpWith(in.n);
}

void readProof(InLink &in)
{
    if (!readStream(in.s, LINE_SIZE)) return dropInLink(in, "closed during the opening");
    char line[LINE_SIZE];
    const Got got = nextLine(in.s, line);
    if (got == Got::Broken) return dropInLink(in, "opening refused: garbage");
    if (got == Got::Line) takeProof(in, line);
}

bool roomForTransit() { return !coreHooks.roomForLines || coreHooks.roomForLines(NO_SLOT) > 0; }

// The lines read so far, handled while the routing queue has room for them: the rest wait, and
// the socket behind them fills, so that the opener's window holds its lines back.
void handleLines(InLink &in)
{
    PeerMemory &m = memory[in.n];
    char line[LINE_SIZE];
    // The room is asked once a pass, as working it out walks every waiting line: no line takes
    // more than one place of the routing queue. What is left is read at the next pass, at once,
    // not when more bytes come.
    int room = coreHooks.roomForLines ? coreHooks.roomForLines(NO_SLOT) : LINK_WINDOW_LINES;
    in.linesLeft = false;
    for (;;) {
        if (room == 0) {
            in.linesLeft = true;
            return;
        }
        const Got got = nextLine(in.s, line);
        if (got == Got::Broken) return dropInLink(in, "bytes that do not read as lines");
        if (got == Got::None) return;
        if (std::strcmp(line, WORD_AGAIN) == 0) {
            in.refusing = false;
            m.backUnheard = false;
            continue;
        }
        if (isCustodyIdLine(line)) {
            if (!readCustodyId(line, in.idSession, in.idNumber)) return dropInLink(in, "an ID line that does not read");
            continue;
        }
        const uint64_t session = in.idSession;
        const uint64_t idNumber = in.idNumber;
        in.idSession = in.idNumber = 0;
        if (in.skip > 0) {
            --in.skip;
            continue;
        }
        --room;
        const uint64_t number = m.handled + 1;
        if (!custodyFits(in.n, number)) return dropInLink(in, "more lines than its window");
        FirstLine kind = FirstLine::Declined;
        {
            const CustodyScope scope(in.n, number, session, idNumber);
            if (!in.refusing) kind = takeLinkLine(in.n, line);
        }
        m.handled = number;
        // Counted all the same, so that the opener does not send it again on the next link for ever.
        if (kind == FirstLine::Refused) return dropInLink(in, "a line that breaks the rules");
        if (kind == FirstLine::Declined) {
            in.refusing = true;
            m.backUnheard = true;
            char back[LINE_SIZE];
            formatLine(back, FMT_BACK, number);
            writeLine(in.s, back);
        }
    }
}

// The count acknowledged is of the lines off this node's hands, not of those read.
long long nextAckAt(const InLink &in)
{
    if (custodySettled(in.n) != in.ackedSent) return in.lastAckAt + ACK_GAP_MS;
    return custodyHeld(in.n) > 0 ? in.lastAckAt + ACK_AGAIN_MS : 0;
}

void acknowledge(InLink &in, long long now)
{
    const uint64_t settled = custodySettled(in.n);
    const long long due = nextAckAt(in);
    if (due == 0 || (now < due && settled - in.ackedSent < ACK_LINES)) return;
    char ack[LINE_SIZE];
    formatLine(ack, FMT_ACK, settled);
    writeLine(in.s, ack);
    in.ackedSent = settled;
    in.lastAckAt = now;
}

// Sealed, the buffer starts at a frame and holds the largest whole, so it is read until full; a
// frame cut short of that could never complete.
bool hasRoomToRead(const InLink &in)
{
    const bool room = in.s.keyed ? in.s.rawLength < sizeof in.s.raw : in.s.plainLength - in.s.plainStart < LINK_FRAME_PLAIN_MAX;
    return room && roomForTransit();
}

void watchInLink(const InLink &in, long long now)
{
    if (!in.used) return;
    if (!in.up) {
        watchRead(in.s.fd);
        wakeWithinMs(in.since + OPENING_LIMIT_MS - now);
        return;
    }
    if (hasRoomToRead(in)) watchRead(in.s.fd);
    if (in.linesLeft && roomForTransit()) wakeWithinMs(0);
    if (!outEmpty(in.s.out)) watchWrite(in.s.fd);
    if (const long long due = nextAckAt(in)) wakeWithinMs(due - now);
}

void driveInLink(InLink &in, long long now)
{
    if (!in.used) return;
    if (!in.up) {
        if (isReadable(in.s.fd)) readProof(in);
        if (in.used && !in.up && now - in.since >= OPENING_LIMIT_MS) dropInLink(in, "opening timed out");
        // The first lines often come with the proof: they are handled now, not at the next wake.
        if (!in.used || !in.up) return;
    } else if (isReadable(in.s.fd) && hasRoomToRead(in) && !readStream(in.s, sizeof in.s.raw)) {
        return dropInLink(in, "closed by the neighbour");
    }
    handleLines(in);
    if (!in.used) return;
    acknowledge(in, now);
}

// Written after what the lines brought has gone on (to the next hops and to the users here): on a
// shared CPU the acknowledgement wakes its sender, which would run before the next hop.
void flushInLink(InLink &in)
{
    if (!in.used || !in.up) return;
    flushStream(in.s);
    if (in.s.broken) dropInLink(in, "write failed: it stopped reading");
}

void beforeWait()
{
    if (!nodeLinks) return;  // no link is ever opened or taken
    const long long now = nowMillis();
    for (int n = 0; n < neighbors; ++n) {
        watchOutLink(n, now);
        if (lostSince[n] != 0) wakeWithinMs(lostSince[n] + LINK_SPLIT_MS - now);
    }
    for (int i = 0; i < inLinksTop; ++i) watchInLink(inLinks[i], now);
}

void afterWait()
{
    if (!nodeLinks) return;
    const long long now = nowMillis();
    for (int i = 0; i < inLinksTop; ++i) driveInLink(inLinks[i], now);
    for (int n = 0; n < neighbors; ++n) driveOutLink(n, now);
    for (int n = 0; n < neighbors; ++n) flushOutLink(n);
    flushOutput();
    for (int i = 0; i < inLinksTop; ++i) flushInLink(inLinks[i]);
    noticeLostNeighbours(now);
}

}  // namespace

LinkState linkState(int n) { return outLinks[n].state; }

void openLink(int n)
{
    OutLink &l = outLinks[n];
    if (l.state != LinkState::Down) return;
    l.wanted = true;
    const long long now = nowMillis();
    if (l.downSince == 0) l.downSince = now;
    if (now >= l.retryAt) startOpening(n, now);
}

int linkRoom(int n, size_t length)
{
    const OutLink &l = outLinks[n];
    if (l.state != LinkState::Up || l.s.broken) return 0;
    if (l.flight.count >= LINK_WINDOW_LINES || flightTotal >= LINK_FLIGHT_MAX) return 0;
    if (l.flight.bytes + length > LINK_WINDOW_BYTES) return 0;
    return queueRoom(l.s) >= l.s.batchLength + length + 2 * LINK_FRAME_MAX ? 1 : 0;
}

void linkWrite(int n, const char *wire, size_t length)
{
    OutLink &l = outLinks[n];
    Flight &f = l.flight;
    const int at = (f.head + f.count) % LINK_WINDOW_LINES;
    f.length[at] = static_cast<uint16_t>(length);
    f.sentAtUs[at] = nowMicros();
    ++f.count;
    f.bytes += length;
    ++flightTotal;
    if (f.count == 1) l.lastProgressAt = nowMillis();
    ++l.sent;
    if (l.toResend > 0) {
        --l.toResend;
        ++l.resent;
    }
    writeBytes(l.s, wire, length);
}

void linkTakesAgain(int n) { writeLine(outLinks[n].s, WORD_AGAIN); }

void newLinkSession(int n)
{
    OutLink &l = outLinks[n];
    if (l.state == LinkState::Up || l.state == LinkState::Opening) linkDown(n, "lines taken back: a new session");
    forgetFlight(l);
    l.session = freshSession();
    l.acknowledged = 0;
    l.toResend = 0;
    l.wanted = false;
    l.downSince = 0;
}

long long linkDownForMs(int n, long long now)
{
    const OutLink &l = outLinks[n];
    if (l.state == LinkState::Up || l.downSince == 0) return 0;
    // A neighbour that took the connection is there: the opening's own limit decides whether it
    // links, or gets one-shot lines, before its lines are taken back for another way.
    if (l.state == LinkState::Opening && !l.connecting) return 0;
    return now - l.downSince;
}

int linesInFlight() { return flightTotal; }

int opensLink(const char *line)
{
    return std::strncmp(line, WORD_LINK, sizeof WORD_LINK - 1) == 0 && line[sizeof WORD_LINK - 1] == ' ';
}

// LINK <opener ID> <acceptor ID> <nonce> <session>, from the opener's own address; the answer
// carries this node's count of the session's lines and, with the key, this node's proof.
void adoptLink(int fd, unsigned peerAddr, const char *line, const char *rest, size_t restLength)
{
    char opening[LINE_SIZE];
    copyCut(opening, line);
    char words[LINE_SIZE];
    copyCut(words, line);
    const char *w[6] = {};
    const int count = splitWords(words, w);
    uint64_t opener = 0;
    uint64_t acceptor = 0;
    const int n = count == 5 && readCount(w[1], opener) && opener <= UINT32_MAX ? findNeighbor(static_cast<uint32_t>(opener)) : -1;
    const bool reads = n >= 0 && readCount(w[2], acceptor) && acceptor == curr_nodeID &&
                       isHexWord(w[3], LINK_NONCE_HEX) && isHexWord(w[4], SESSION_HEX);
    if (!reads || neighborNodes[n]->ipaddr != peerAddr || restLength > LINE_SIZE) {
        close(fd);
        return;
    }
    const int entry = freeInLink(n);
    if (entry < 0) {
        close(fd);
        return trace("from", n, "opening refused: no room for another link");
    }
    InLink &in = inLinks[entry];
    if (entry >= inLinksTop) inLinksTop = entry + 1;
    closeStream(in.s);
    in.s.fd = fd;
    watchNeighbour(fd);
    in.used = true;
    in.n = n;
    in.up = false;
    in.since = nowMillis();
    in.skip = 0;
    in.idSession = in.idNumber = 0;
    in.refusing = false;
    in.linesLeft = false;
    in.session = std::strtoull(w[4], nullptr, 16);
    // Lines read and not yet handed on come again: read again, they are passed over.
    in.restart = memory[n].session == in.session && memory[n].backUnheard;
    in.handledAtOpening = memory[n].session == in.session && !in.restart ? custodySettled(n) : 0;
    std::memcpy(in.s.plain, rest, restLength);
    in.s.plainLength = restLength;

    unsigned char nonce[LINK_NONCE_SIZE];
    linkFreshNonce(nonce);
    char nonceHex[LINK_NONCE_HEX + 1];
    linkHex(nonce, sizeof nonce, nonceHex);
    const bool keyed = rt_key_loaded();
    char header[LINK_HEADER_HEX + 1] = "-";
    char proof[LINK_PROOF_HEX + 1] = "-";
    if (keyed) {
        cipherTranscript(in.keys, opening, nonceHex);
        linkCipherStartOut(in.s.cipher, LinkRole::Acceptor, in.keys.text, in.keys.length, header);
    }
    char unproven[LINE_SIZE];
    formatLine(unproven, FMT_LINKED, nonceHex, in.handledAtOpening, header);
    in.proven.length = 0;
    in.proven.add(opening);
    in.proven.add(unproven);
    if (keyed) linkProof(LinkRole::Acceptor, in.proven.text, in.proven.length, proof);
    char answer[LINE_SIZE];
    formatLine(answer, "%s %s", unproven, proof);
    writeLine(in.s, answer);
    flushStream(in.s);
    if (in.s.broken) dropInLink(in, "could not answer the opening");
}

LinkReport linkReport(int n)
{
    const OutLink &l = outLinks[n];
    return {l.state, l.s.keyed, l.state == LinkState::Up ? l.upSince : 0, l.sent, l.acked, l.resent, l.flight.count, l.roundTripUs};
}

void closeAllLinks()
{
    for (int i = 0; i < inLinksTop; ++i)
        if (inLinks[i].used) dropInLink(inLinks[i], "closed");
    for (int n = 0; n < neighbors; ++n)
        if (outLinks[n].state == LinkState::Up || outLinks[n].state == LinkState::Opening) linkDown(n, "closed");
}

// Field by field: zeroing the buffers would make every link's pages resident.
void resetLinks()
{
    for (int n = 0; n < MAX_NEIGHBORS; ++n) {
        OutLink &l = outLinks[n];
        closeStream(l.s);
        l.state = LinkState::Down;
        l.connecting = l.wanted = false;
        l.stageAt = l.upSince = l.retryAt = l.downSince = l.oneShotUntil = l.lastProgressAt = 0;
        l.retryGap = RETRY_FIRST_MS;
        l.session = l.acknowledged = 0;
        l.flight.head = l.flight.count = 0;
        l.flight.bytes = 0;
        l.toResend = 0;
        l.failedOpenings = 0;
        l.sent = l.acked = l.resent = 0;
        l.roundTripUs = 0;
        memory[n] = {};
        lostSince[n] = 0;
    }
    for (InLink &in : inLinks) {
        closeStream(in.s);
        in.used = false;
        in.up = false;
    }
    flightTotal = 0;
    clearRouteCache();
    resetCustody();
}

Poller linkPoller() { return {beforeWait, afterWait}; }
