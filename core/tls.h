// TLS for clients on a port of their own: the certificate and key, and a session for each TLS
// socket, driven by the loop's readiness like any other socket. Every read and write of a client
// socket goes through here, so that the layers above never know which kind a client came by.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>

// The client profile's options: "--tls-port N" (default 6697, 0 for none), "--tls-cert FILE" and
// "--tls-key FILE". Taken out of argv; a port that is no number ends the process with status 255.
void takeTlsOptions(int &argc, char **argv);
bool tlsOptionsGiven();
// The port to open for TLS clients: 0 unless the profile is on and a certificate was given.
int tlsPort();

// Start-up: reads the certificate and key; false, with a line on standard error, when they do not
// make a context. Sessions can then be kept for descriptors below `capacity`.
bool prepareTls(int capacity);
// --check: whether the files make a context, as prepareTls would find; said on standard error.
bool checkTlsFiles();
// SIGHUP: reads the files again; a failure keeps the context in use and says so on standard error.
void reloadTls();

// A new TLS connection on fd; false when no session could be made for it.
bool beginTlsSession(int fd);
bool isTlsSocket(int fd);
enum class Handshake { Done, Again, Failed };
// Takes the handshake as far as the socket allows now; Again leaves fd watched for what it waits
// for (reading or writing).
Handshake continueHandshake(int fd);
// The session ends with the socket; closeDescriptor calls it for every socket it closes.
void endTlsSession(int fd);

// recv(MSG_DONTWAIT) for any client socket: bytes read, 0 at the end of the stream, or -1 with
// errno (EAGAIN: nothing now). A TLS socket's read fills the buffer as far as the records already
// arrived allow, so a short read means nothing more is waiting, in the socket or in the session.
ssize_t readSocket(int fd, char *bytes, size_t room);
// sendmsg(MSG_NOSIGNAL | MSG_DONTWAIT) for any client socket, the same results. The bytes a TLS
// write was refused for must be offered again first, as the queue does.
ssize_t writeSocket(int fd, const iovec *parts, int count);
