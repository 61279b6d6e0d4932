// The table of every peer that stays connected: slot 0 is the routing daemon, 1 to 4 are clients.
#pragma once

#include <cstddef>

#include "limits.h"

struct Connection {
    int sock;                    // 0 marks a free slot
    char buffer[LINE_SIZE];      // incomplete line carried from one read to the next
    char nick[NICK_MAX + 1];
    char userName[LINE_SIZE];
    char hostName[LINE_SIZE];
    char realName[LINE_SIZE];
    char serverName[LINE_SIZE];
    char channel[LINE_SIZE];     // empty while the client is in no channel
    char ip[IP_TEXT_SIZE];       // kept after a reset until the next accept overwrites it
    int registered;
    int skippingLine;            // the line in progress outgrew the buffer: dropped up to its LF
    unsigned serial;             // tells the successive peers of one slot apart
};

extern Connection connections[MAX_CONNECTIONS];

inline constexpr char DAEMON_NICK[] = "!@$";  // no nickname can start with '!', so no client takes it

void prepareConnectionTable(int daemonSock);
// Slot 0 becomes the daemon link on daemonSock, at start-up and whenever the link is re-established.
void takeDaemonLink(int daemonSock);
void reserveSpareDescriptor();
void addConnection();
void resetConnection(int slot);
// The wire form of one line: text cut at SEND_TEXT_MAX characters, then CR LF; returns its length.
size_t frameLine(char (&line)[LINE_SIZE], const char *text);
// Sends text plus CR LF in one send; a text past SEND_TEXT_MAX characters is cut there.
// Returns 1 when the line went out whole, 0 otherwise; a free slot gets nothing and gives 0.
// A peer that let a line time out half sent is shut down: its next read ends it.
int sendData(int slot, const char *text);
__attribute__((format(printf, 2, 3))) void replyf(int slot, const char *fmt, ...);
// Formats into a zeroed line buffer; a text past LINE_MAX_CHARS characters is cut there.
__attribute__((format(printf, 2, 3))) void formatLine(char (&line)[LINE_SIZE], const char *fmt, ...);
