// The TCP link with this node's server: its announcements of users and channels, and the answers
// to its next-hop requests, one line each and in request order.
#pragma once

// listenSock listens on the node's address and local port.
void startServerLink(int listenSock);
int serverListener();
int serverLinkSock();  // -1 while no server is linked

// A new connection replaces the link: a server that reconnects has lost what it had announced.
void acceptServer();
void readServer();

// One request line without its line end; answers go out on the link. Exposed for the tests.
void handleRequest(char *line);
