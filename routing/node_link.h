// Node links: one long-lived TCP connection from this node to each neighbour it sends to, which
// carries FORWARD lines pipelined (their bytes as on a one-shot connection) and brings back the
// receiver's acknowledgements; and the links other nodes opened to this one. Each direction has a
// link of its own, opened by the end that has lines to send, so that each end alone decides when
// its link is due and never races the other end's opening.
//
// The opening, on the neighbour's server port, from the opener's own address (one line each):
//   opener    LINK <opener ID> <acceptor ID> <opener nonce> <session>
//   acceptor  LINKED <acceptor nonce> <handled> <stream header> <proof>
//   opener    PROOF <stream header> <proof>
// With the network's key each proof is the HMAC of everything said before it, so that neither end
// links with an impostor and the acceptor's count of handled lines cannot be forged; what follows
// is sealed with a stream cipher whose keys both nonces make new for every link. Without the key
// the header and proof fields are "-", the bytes travel in clear, and only the address of the
// connection says which node speaks.
//
// The opener numbers its lines within its session (a random number drawn when this node starts,
// and again when lines in flight were taken back); the acceptor remembers per neighbour the last
// session and how many of its lines it read, and acknowledges with "ACK <count>" the lines that
// are off its hands (custody.h). When the opener comes back it answers that count; the opener sends
// again what follows, and the acceptor passes over what it read already. A line it could not hand
// on (its daemon is gone) is off its hands at once and named by "BACK <number>", so that the opener
// tries it again elsewhere. So a line is never handled twice across a reconnect, is held by its
// sender until the next node has passed it on, and is never dropped unless its sender is told.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../core/hooks.h"
#include "../core/limits.h"

// Bytes in flight on one link at most: a 40 ms round trip at 200,000 short lines a second.
inline constexpr size_t LINK_WINDOW_BYTES = 1 << 20;
// Lines in flight on one link at most (LINK_FLIGHT_MAX on all of them together).
inline constexpr int LINK_WINDOW_LINES = LINK_FLIGHT_MAX;

// Lines to neighbours travel on links (the client profile's way); without, each on a one-shot
// connection, as every node understands.
extern bool nodeLinks;

enum class LinkState {
    Down,     // no link: opened when a line is due
    Opening,  // connecting, or the opening lines are being exchanged
    Up,       // lines may be written
    OneShot,  // the neighbour does not link: one-shot connections carry its lines for a while
};

// The sending end, for the neighbour with index n in neighborNodes.
LinkState linkState(int n);
// Starts opening a link that is down, unless it failed a moment ago; does nothing otherwise.
void openLink(int n);
// 1 when a line of `length` wire bytes may be written on the link now.
int linkRoom(int n, size_t length);
// Writes one framed FORWARD line (CR LF included) after the ones in flight.
void linkWrite(int n, const char *wire, size_t length);
// The lines in flight were taken back for another route: the next link counts them afresh, so
// that the acceptor's memory of this session cannot acknowledge lines it never saw.
void newLinkSession(int n);
// Every line handed back on the link was answered: the receiver, which handed back every line
// after the first, takes the lines that follow again.
void linkTakesAgain(int n);
// Milliseconds the link has been down while it was wanted (0 while it is up or not wanted, and
// while a neighbour that took the connection has yet to answer the opening).
long long linkDownForMs(int n, long long now);
// Lines in flight on every link together.
int linesInFlight();

// What the sending end tells forwarding, which owns the lines (implemented there).
// The link is up again: of the lines that were in flight on the one before, the first `handled`
// were handled by the neighbour, and the rest must be written again, in order.
void linkCameUp(int n, int handled);
// The next `count` lines in flight were handled.
void linkAcknowledged(int n, int count);
// The line `index` places behind the oldest in flight was handed back: its acknowledgement, which
// follows, settles it without delivering it, and so for every line written after it until
// linkTakesAgain.
void linkHandedBack(int n, int index);
// Every link with the neighbour, both ways, broke and none came back within LINK_SPLIT_MS: it is
// taken to be gone (told once, until a link with it is up again).
void linkNeighbourLost(int n);
inline constexpr long long LINK_SPLIT_MS = 500;

// The receiving end.
// 1 when a fresh connection's first line opens a link.
int opensLink(const char *line);
// Takes a fresh connection whose first line opens a link; `rest` is what followed that line.
void adoptLink(int fd, unsigned peerAddr, const char *line, const char *rest, size_t restLength);
// Handles one line another node sent on its link (implemented by forwarding): Taken, Declined (the
// node hands it back) or Refused (no node's line: the link is closed).
FirstLine takeLinkLine(int n, char *line);

// For the status view: one neighbour's sending link.
struct LinkReport {
    LinkState state;
    bool keyed;
    long long upSinceMs;       // monotonic milliseconds, 0 while not up
    unsigned long long sent;   // lines written, resent ones included
    unsigned long long acknowledged;
    unsigned long long resent;
    int inFlight;
    long long roundTripUs;     // the last acknowledgement's, 0 before the first
};
LinkReport linkReport(int n);
// Closes every link, both ends (the daemon link is gone, or the process ends).
void closeAllLinks();
void resetLinks();
Poller linkPoller();
