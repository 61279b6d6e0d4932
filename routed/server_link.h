// The TCP link with this node's server: its announcements of users and channels, and the answers
// to its next-hop requests, one line each and in request order.
#pragma once

#include <cstdint>

// The first line of a connection that asks for the status report instead of linking.
inline constexpr char STATUS_REQUEST[] = "STATUS";

// listenSock listens on the node's address (host order) and local port.
void startServerLink(int listenSock, uint32_t nodeAddr);
int serverListener();
int serverLinkSock();   // -1 while no server is linked
int serverProbeSock();  // -1 while no second connection waits

// Only the node's own address may link. A live link is kept: a newcomer waits as the probe and is
// answered if it asks for the status, refused otherwise, and becomes the link if the old one ends.
// A link that ends takes what the server had announced with it.
void acceptServer();
void readServer();
void readProbe();

// One request line without its line end; answers go out on the link. Exposed for the tests.
void handleRequest(char *line);
