// The loop's one wait: what each pass watches, and what the wait found ready.
#pragma once

// The wait's tables cover descriptors up to `capacity` (the process's descriptor limit); false when
// the system gives no epoll instance or no memory for them. Start-up calls it once; a pass that
// comes first sizes them for the limit in force.
bool prepareReadiness(int capacity);
// 1 when the descriptor fits the wait's tables; 0 marks a free slot and is never watched.
bool canWatch(int fd);
// The process's descriptor limit in force (RLIMIT_NOFILE), at most 2^20.
int descriptorLimit();

// A new pass: nothing is watched until it is named again.
void beginWatching();
// For pollers, whose sockets they open and close themselves: watched in this pass only.
void watchRead(int fd);
void watchWrite(int fd);
// For the core's own sockets, whose every close it reports (closeDescriptor): what the wait was
// told of them last stays until what is watched changes.
void watchOwn(int fd, bool read, bool write);
// Closes one of the core's own sockets; the wait forgets it.
void closeDescriptor(int fd);
// One of the core's own sockets passes, open, to a poller.
void releaseDescriptor(int fd);

// Waits up to ms milliseconds for something watched to become ready: how many are, or -1 with
// errno (EINTR: nothing is taken for ready).
int waitReady(long long ms);
// After the wait: what it found ready in this pass.
bool isReadable(int fd);
bool isWritable(int fd);

// Tests only: a fresh epoll instance, as no descriptor the last test closed may linger in it, with
// tables for the limit in force.
void resetReadiness();
