// Keeping the daemon link up: a link that closed is tried again about once a second, without ever
// blocking the loop, and once it is back the IRC layer tells the daemon of every user and channel
// here again (routingHooks.daemonLinkUp).
// With the network's key (--key) every connection, the first included, answers the daemon's
// challenge with the key's proof before it becomes the link.
#pragma once

// Start-up: the routing layer's part in the loop and in a peer's departure.
void wireRouting();

// Called on every pass of the loop; does nothing while the link is up.
void keepDaemonLinked();
// For the loop's wait: the connect in progress, to be watched for writability, or -1.
int daemonConnectingSock();
// Milliseconds until keepDaemonLinked has work (0 when it has some now); long while the link is up.
long long daemonLinkDueInMs();
// Takes "--key FILE" (or "--key=FILE") out of argv, so that the shared option parser sees the
// command line it would see without it; the file's name ("" when missing), or nullptr.
const char *takeKeyOption(int &argc, char **argv);
