// Every size the server's fixed tables are built from, with what each one counts.
#pragma once

inline constexpr int LINE_SIZE = 512;         // every line and text buffer, terminator included
inline constexpr int LINE_MAX_CHARS = LINE_SIZE - 1;
inline constexpr int SEND_TEXT_MAX = LINE_SIZE - 3;  // what fits in one line beside CR LF and a terminator
inline constexpr int NICK_MAX = 9;            // characters; a nick field is NICK_MAX + 1 bytes
// A user prefix nick!user@host with its terminator: the user name is cut to USER_PREFIX_MAX
// characters in it, and a host name too long for the rest is cut at its end.
inline constexpr int PREFIX_SIZE = 128;
inline constexpr int USER_PREFIX_MAX = 16;
inline constexpr int KEYWORD_SIZE = 8;       // a FORWARD line's keyword (PRIVMSG, NOTICE, JOIN...) and terminator
// The exact node's slots: 0 is the daemon link, 1 to 4 are clients. In the client profile the tables
// hold the clients --max-clients names (sizes.h).
inline constexpr int MAX_CONNECTIONS = 5;
inline constexpr int DAEMON_SLOT = 0;
inline constexpr int FIRST_CLIENT_SLOT = 1;
inline constexpr int MAX_NEIGHBORS = 32;      // every other line of a full configuration file
inline constexpr int HOST_NAME_SIZE = 64;     // the server name, terminator included
inline constexpr int IP_TEXT_SIZE = 48;       // an IPv6 address (45 characters), a leading 0 and the terminator
// Holds a burst of FORWARD connections between two passes: the exact node's backlog, and the least
// the client profile's (sizes.h).
inline constexpr int LISTEN_BACKLOG = 128;
// A peer whose queued output passes this has stopped reading: it is dropped, never waited for.
inline constexpr int OUT_QUEUE_SIZE = 64 * 1024;
inline constexpr int LINK_STREAMS = 3 * MAX_NEIGHBORS;  // node links' queues: one out and two in per neighbour
// A ready socket is read until it would block or this much was taken in one pass, so that one
// busy peer cannot starve the others.
inline constexpr int READ_BUDGET = 16 * 1024;
// No client line asks for more slots of the routing queue than one per this many bytes, LF
// included (in the client profile "JOIN #a" asks for one, its notice to the other nodes; the
// channels of a JOIN list, a "JOIN 0" or a QUIT share one notice), so a read of N times as many
// bytes brings at most N such messages.
inline constexpr int SHORTEST_ROUTED_LINE = 4;
// A connection that has neither registered nor sent a FORWARD line by then is closed, so silent
// sockets cannot hold the fresh table, nor a client slot while the server itself makes its
// registration wait (the host lookup, the daemon's answer on a nick).
inline constexpr long long UNREGISTERED_LIMIT_MS = 30 * 1000;
// A client sends NICK and USER at once; one that holds a slot this long without registering only
// keeps the next user out.
inline constexpr long long REGISTRATION_LIMIT_MS = 5 * 1000;
inline constexpr long long HOST_LOOKUP_LIMIT_MS = 2000;  // then the dotted quad stands in
// Connections read before they are known to be clients or other nodes: room for one from every
// other node of a full configuration at once.
inline constexpr int FRESH_SLOTS = MAX_NEIGHBORS;
// Fresh entries one address that is no node's may hold: as many as it could ever make clients, so
// that it cannot fill the table.
inline constexpr int FRESH_PER_STRANGER = MAX_CONNECTIONS - FIRST_CLIENT_SLOT;
inline constexpr int NO_SLOT = -1;            // the owner of a message that came from another node
// Room for messages that wait for a hop that failed, to be tried again, beyond what the routing
// queue hands on; none is ever dropped for want of it, as the input gate counts them all.
inline constexpr int PARKED_MAX = 128;
// FORWARD lines waiting for their next hops or to be tried again, all hops together: what the
// routing queue may hand on, and the parked ones.
inline constexpr int FORWARD_POOL = 512 + PARKED_MAX;
// Lines written on node links and not yet acknowledged, every link together: each is kept for a
// second sending until its receiver counts it handled, beside the pool above.
inline constexpr int LINK_FLIGHT_MAX = 16384;
inline constexpr int CHANNEL_NAME_MAX = 9;    // characters; JOIN cuts a longer name to this
// The channel table of the exact replies; the client profile's is sized from its options.
inline constexpr int ROOM_SLOTS = 5;          // slot 0 is never used, so at most 4 channels
inline constexpr int MAX_ROOMS = ROOM_SLOTS - 1;
inline constexpr int MAX_MEMBERS = 10;        // member entries of one channel
inline constexpr int ROUTE_CHANNEL_MAX = 11;  // characters of a channel target asked of the daemon
inline constexpr int NODE_ID_TEXT_SIZE = 11;  // a 32-bit node ID in decimal, terminator included
