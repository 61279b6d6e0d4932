// The TCP link with this node's server: its announcements of users and channels, and the answers
// to its next-hop requests, one line each and in request order.
#pragma once

#include <sys/select.h>

#include <cstdint>

// The first line of a connection that asks for the status report instead of linking.
inline constexpr char STATUS_REQUEST[] = "STATUS";
inline constexpr int WAITING_PEERS = 4;  // connections not yet the link, at once

// listenSock listens on the node's address (host order) and local port.
void startServerLink(int listenSock, uint32_t nodeAddr);
int serverListener();
int serverLinkSock();   // -1 while no server is linked
int serverWaitingCount();  // connections not yet the link

// Only the node's own address may link. Without a key, its connection links when no link is live;
// with one, only by the proof, and a newly proven server replaces the old link at once (a restarted
// server need not wait for the old link's end). Every other connection waits until its first line:
// a status request is answered, anything else refused; silence is closed after RT_AUTH_PATIENCE_MS
// (rt_key.h). A waiting connection never inherits the link. A link that ends takes what the server
// announced.
void acceptServer();
void readServer();

// The loop's part: what to wait on, what to read, and when the next waiting connection times out.
void watchServerLink(fd_set &read, int &high);
void serveServerLink(const fd_set &ready, long long now);
long long nextServerLinkDeadline(long long now);

// One request line without its line end; answers go out on the link. Exposed for the tests.
void handleRequest(char *line);
