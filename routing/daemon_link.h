// Keeping the daemon link up: a link that closed is tried again about once a second, without ever
// blocking the loop, and once it is back the daemon hears again of every user and channel here.
#pragma once

// Start-up: the routing layer's part in the loop and in a peer's departure.
void wireRouting();

// Called on every pass of the loop; does nothing while the link is up.
void keepDaemonLinked();
// For the loop's wait: the connect in progress, to be watched for writability, or -1.
int daemonConnectingSock();
// Milliseconds until keepDaemonLinked has work (0 when it has some now); long while the link is up.
long long daemonLinkDueInMs();
// Sends "ADDUSER" for every registered user and "ADDCHAN" for every channel of this node.
void announceEverything();
