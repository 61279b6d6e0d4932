// This node's identity and neighbours, the sockets the loop waits on, and start-up.
#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "../rtlib/rt_config.h"
#include "limits.h"
#include "readiness.h"
#include "socket_address.h"

struct Host {
    int roomCount;                // number of channels, kept by the channel table
    char name[HOST_NAME_SIZE];    // this machine's name, the first field of every numeric reply
};

extern uint32_t curr_nodeID;
extern rt_config_file_t curr_node_config_file;
extern rt_config_entry_t *curr_node_config_entry;
extern rt_config_entry_t *neighborNodes[MAX_NEIGHBORS];
extern int neighbors;
extern int sock;                  // the listening socket for clients and FORWARD connections
extern Host host;

inline const char *serverName() { return host.name; }
// Takes "--name NAME" out of argv: in the client profile the node's name in its replies instead of
// the machine's, so that the nodes of one machine can be told apart. Ends the process with status
// 255 when NAME is no host name.
void takeServerNameOption(int &argc, char **argv);
bool serverNameGiven();
// Takes "--ipv6 ADDRESS|off" out of argv: in the client profile, where the IPv6 listeners for
// clients bind (default ::); ends the process with status 255 for anything else.
void takeListenerOptions(int &argc, char **argv);

[[noreturn]] void fail(const char *what, int status);  // perror, then exit
void makeStandardDescriptorsValid();
rt_config_entry_t *init_node(int argc, char **argv);
[[noreturn]] void beginServer();
void keepListenerNonBlocking(int listener);
void runPass();
void buildConnectionList();
void readSockets();
void readDaemon();
// For pollers, before the wait, beside what they watch (readiness.h): a deadline that ends the
// wait early.
void wakeWithinMs(long long ms);
int findNeighbor(uint32_t nodeID);  // index into neighborNodes, or -1
