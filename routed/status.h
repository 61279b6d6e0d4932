// The status report: what a daemon knows of its links, the network's advertisements and its
// routes, for an operator who asks on the local port.
#pragma once

// Writes the whole report to fd, ending with the line "end"; a failed send cuts it short.
void writeStatus(int fd);
