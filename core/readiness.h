// The loop's one wait: what it watches, and what it found ready.
#pragma once

// The wait's tables cover descriptors up to `capacity` (the process's descriptor limit); false when
// the system gives no epoll instance or no memory for them. Start-up calls it once; a pass that
// comes first sizes them for the limit in force.
bool prepareReadiness(int capacity);
// 1 when the descriptor fits the wait's tables; 0 marks a free slot and is never watched.
bool canWatch(int fd);
// The process's descriptor limit in force (RLIMIT_NOFILE), at most 2^20.
int descriptorLimit();

// The core's own sockets are watched from the moment they are named until that changes or they
// are closed (closeDescriptor), whatever the passes in between: thousands of idle clients cost the
// wait nothing. A tag says what a descriptor is to the loop.
void watchOwn(int fd, bool read, bool write);
void watchOwnReading(int fd, bool read);    // the same, the write side unchanged
void watchOwnWriting(int fd, bool write);  // the same, the read side unchanged
void tagDescriptor(int fd, int tag);
int tagOf(int fd);  // 0 when untagged
// Closes one of the core's own sockets; the wait forgets it, tag and all.
void closeDescriptor(int fd);
// One of the core's own sockets passes, open, to a poller.
void releaseDescriptor(int fd);

// A new pass: what pollers watch is named again before every wait, as they open and close their
// own sockets, and a number closed and given to a new socket must never pass for the old one.
void beginWatching();
void watchRead(int fd);
void watchWrite(int fd);

// A pass takes at most this many ready sockets: with a thousand busy clients, the replies to the
// first leave before the last is read, instead of every reply waiting for one long pass. Level
// triggering puts what a pass left at the back of epoll's ready list, so the rest, the listener
// and the daemon link among them, come in the next passes in turn.
inline constexpr int READY_PER_PASS = 64;

// Waits up to ms milliseconds for something watched to become ready: how many are, or -1 with
// errno (EINTR: nothing is taken for ready).
int waitReady(long long ms);
// After the wait: what it found ready in this pass, by descriptor, or one by one.
bool isReadable(int fd);
bool isWritable(int fd);
// The readable descriptors whose tags `pick` turns into an index (-1 passes one over), as those
// indexes in ascending order; the array holds them until the next call.
const int *readyIndexes(int (*pick)(int tag), int &count);

// Tests only: a fresh epoll instance, as no descriptor the last test closed may linger in it, with
// tables for the limit in force.
void resetReadiness();
