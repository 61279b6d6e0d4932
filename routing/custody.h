// Custody of other nodes' lines, and the numbers messages travel under.
//
// A node acknowledges a line that came in on a link only once the line is off its hands: delivered
// here, acknowledged by every next hop, or answered back. So a node that is killed outright takes
// no acknowledged line with it: its neighbour still holds every line it had not handed on, and sends
// them again to it, restarted, or along another way.
//
// Sending again may repeat a line the killed node had handed on already. So every message that
// enters the network here is numbered within this node's run (a random session, drawn at start, and
// a count), and travels under that number on the links; a node that meets the same number from the
// same node again hands the message on but does not deliver it a second time.
#pragma once

#include <cstddef>
#include <cstdint>

// What a message on its way through this node owes and is known by; all zero is nothing, as
// the tables it lives in start.
struct Custody {
    int from;             // 1 + the index of the neighbour whose link line is held for it; 0: none
    uint32_t generation;  // which of that neighbour's sessions the line belonged to
    uint64_t line;        // the line's number in that session
    uint64_t session;     // its source node's run, 0 when it travels unnumbered
    uint64_t number;      // its number within that run
    uint64_t order;       // when it came to this node: none for a nick overtakes an older one here
    bool repeat;          // taken here before under its number: it draws no second answer
};

// The acceptor's side, per neighbour: lines are numbered from 1 in each of its sessions.
// The neighbour began a new session (or this node forgot the last one): numbering starts again.
void custodyRestart(int n);
// False when the line would be more than a window ahead of the oldest still held: no opener that
// keeps to its window sends it.
bool custodyFits(int n, uint64_t line);
// Every line up to this one is off this node's hands, so the neighbour may forget it.
uint64_t custodySettled(int n);
// Lines taken and not yet off this node's hands.
uint64_t custodyHeld(int n);

// Holds what the work done within the scope creates for: handling a link line, acting on a daemon
// answer or on a line that waits here. The scope of a link line also holds the line itself, until
// the scope ends.
class CustodyScope {
public:
    explicit CustodyScope(const Custody &c);
    // Handling line `line` of neighbour n's session, under the message number its ID line gave.
    CustodyScope(int n, uint64_t line, uint64_t session, uint64_t number);
    ~CustodyScope();
    CustodyScope(const CustodyScope &) = delete;
    CustodyScope &operator=(const CustodyScope &) = delete;

private:
    Custody saved_;
    bool holdsLine_ = false;
};

// What a message created now holds: the scope's custody, and its number; a message that enters the
// network here (its source is this node) and has none yet gets the next one.
Custody custodyTaken(uint32_t srcNode);
// What the work done now is for.
const Custody &custodyNow();
// The message handled now was taken here before under its number.
void custodyRepeat();
// Holds or lets go of what a message held (once each); letting go clears it.
void custodyHold(const Custody &c);
void custodyRelease(Custody &c);

// The receiving end of numbered messages: true when this message was taken here before, which is
// noted otherwise. Numbers too old to be remembered count as new: a message is rather delivered
// twice than lost.
bool custodySeenBefore(uint32_t srcNode, uint64_t session, uint64_t number);
// A message noted as taken was handed back after all: it comes again, and is new then.
void custodyForget(uint32_t srcNode, uint64_t session, uint64_t number);
// The ID line a numbered message is sent after on a link, CR LF included; 0 when it has none.
size_t custodyIdLine(const Custody &c, char *buffer, size_t size);
// Reads an ID line's words; false when they do not read.
bool readCustodyId(const char *line, uint64_t &session, uint64_t &number);
bool isCustodyIdLine(const char *line);

void resetCustody();
