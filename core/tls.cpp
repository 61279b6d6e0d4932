// TLS for clients: one OpenSSL context from the certificate and key files, and a session for each
// TLS socket, kept by descriptor. Nothing here waits: every call takes what the socket allows now,
// and the loop's readiness says when to call again.
#include "tls.h"

#include <dlfcn.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../rtlib/rt_args.h"
#include "admission.h"
#include "client_profile.h"
#include "connections.h"
#include "framing.h"
#include "hooks.h"
#include "log.h"
#include "readiness.h"
#include "server.h"
#include "table_memory.h"

namespace {

constexpr int DEFAULT_TLS_PORT = 6697;

// OpenSSL is loaded when a TLS port is asked for, not linked: mapped and relocated at every start,
// its two libraries would cost each node about 1.7 MB of resident memory that a node without TLS
// never uses. The headers' major version names the library they describe.
static_assert(OPENSSL_VERSION_MAJOR == 3, "the library's name below follows the headers");
constexpr char LIBSSL[] = "libssl.so.3";

// What this file calls of OpenSSL, one row each: the member that holds it and the library's name
// for it (the headers' macros stand for the *_ctrl and *_flags calls here). The table and its
// loading are both made from this list, so that a member cannot be bound to another's name.
#define OPENSSL_CALLS(X) \
    X(serverMethod, TLS_server_method) \
    X(ctxNew, SSL_CTX_new) \
    X(ctxFree, SSL_CTX_free) \
    X(ctxCtrl, SSL_CTX_ctrl) \
    X(ctxSetOptions, SSL_CTX_set_options) \
    X(ctxSetNumTickets, SSL_CTX_set_num_tickets) \
    X(ctxUseChainFile, SSL_CTX_use_certificate_chain_file) \
    X(ctxUseKeyFile, SSL_CTX_use_PrivateKey_file) \
    X(ctxCheckKey, SSL_CTX_check_private_key) \
    X(errGet, ERR_get_error) \
    X(errString, ERR_error_string_n) \
    X(errClear, ERR_clear_error) \
    X(bioNewIndex, BIO_get_new_index) \
    X(bioMethNew, BIO_meth_new) \
    X(bioMethSetWrite, BIO_meth_set_write) \
    X(bioMethSetRead, BIO_meth_set_read) \
    X(bioMethSetCtrl, BIO_meth_set_ctrl) \
    X(bioMethSetCreate, BIO_meth_set_create) \
    X(bioNew, BIO_new) \
    X(bioGetData, BIO_get_data) \
    X(bioSetData, BIO_set_data) \
    X(bioSetInit, BIO_set_init) \
    X(bioSetFlags, BIO_set_flags) \
    X(bioClearFlags, BIO_clear_flags) \
    X(sslNew, SSL_new) \
    X(sslFree, SSL_free) \
    X(sslSetBio, SSL_set_bio) \
    X(sslSetAcceptState, SSL_set_accept_state) \
    X(sslDoHandshake, SSL_do_handshake) \
    X(sslPending, SSL_pending) \
    X(sslGetError, SSL_get_error) \
    X(sslRead, SSL_read) \
    X(sslWrite, SSL_write) \
    X(sslShutdown, SSL_shutdown)

struct OpenSsl {
#define DECLARE_CALL(member, function) decltype(&function) member;
    OPENSSL_CALLS(DECLARE_CALL)
#undef DECLARE_CALL
};

OpenSsl ossl;
bool osslLoaded;

template <typename F>
bool bindCall(void *library, F &call, const char *name)
{
    call = reinterpret_cast<F>(dlsym(library, name));
    return call != nullptr;
}

// Loads the library once; false, said on standard error, when the system lacks it.
bool loadOpenSsl()
{
    if (osslLoaded) return true;
    void *lib = dlopen(LIBSSL, RTLD_NOW | RTLD_LOCAL);
    OpenSsl &o = ossl;
    // libcrypto's functions are found through libssl, which depends on it.
    bool bound = lib != nullptr;
#define BIND_CALL(member, function) bound = bound && bindCall(lib, o.member, #function);
    OPENSSL_CALLS(BIND_CALL)
#undef BIND_CALL
    if (!bound) {
        const char *why = dlerror();
        std::fprintf(stderr, "quorvel: TLS needs OpenSSL's %s: %s\n", LIBSSL, why ? why : "a function is missing");
        if (lib) (void)dlclose(lib);
        return false;
    }
    osslLoaded = true;
    return true;
}

const char *certPath;
const char *keyPath;
int givenPort = DEFAULT_TLS_PORT;
bool portGiven;

struct Session {
    SSL *ssl;
    bool established;  // the handshake is done
    bool failed;       // a fatal error: no close_notify, nothing more read or written
    bool wantsWrite;   // the handshake waits for the socket to take more
    bool listed;       // in `attention`
};

SSL_CTX *context;
BIO_METHOD *socketMethod;
Session *sessions;  // by descriptor, `capacity` of them
int capacity;
// Sockets the wait alone would not wake for: a session that holds bytes already read off the
// socket, or a handshake that waits to write.
int *attention;
int attentionCount;

Session *sessionOf(int fd) { return sessions && fd > 0 && fd < capacity && sessions[fd].ssl ? &sessions[fd] : nullptr; }

void list(int fd)
{
    if (sessions[fd].listed) return;
    sessions[fd].listed = true;
    attention[attentionCount++] = fd;
}

// The socket's own send, so that a peer that left is a failed write, never SIGPIPE.
int bioWrite(BIO *bio, const char *bytes, int length)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(ossl.bioGetData(bio)));
    ossl.bioClearFlags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    const ssize_t sent = send(fd, bytes, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) ossl.bioSetFlags(bio, BIO_FLAGS_WRITE | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(sent);
}

int bioRead(BIO *bio, char *bytes, int length)
{
    const int fd = static_cast<int>(reinterpret_cast<intptr_t>(ossl.bioGetData(bio)));
    ossl.bioClearFlags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    const ssize_t got = recv(fd, bytes, static_cast<size_t>(length), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) ossl.bioSetFlags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
    return static_cast<int>(got);
}

long bioControl(BIO *, int command, long, void *) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO *bio)
{
    ossl.bioSetInit(bio, 1);
    return 1;
}

void reportSslError(const char *what)
{
    char reason[256] = "no reason given";
    if (const unsigned long code = ossl.errGet()) ossl.errString(code, reason, sizeof reason);
    ossl.errClear();
    std::fprintf(stderr, "quorvel: %s: %s\n", what, reason);
}

// A context for TLS 1.2 and later from the two files; nullptr, said on standard error, when they
// do not make one. No tickets or session cache: a client's session is not resumed, and an idle one
// holds no buffers (RELEASE_BUFFERS), so that thousands of idle TLS clients cost little.
SSL_CTX *makeContext()
{
    SSL_CTX *made = ossl.ctxNew(ossl.serverMethod());
    if (!made) {
        reportSslError("no TLS context");
        return nullptr;
    }
    (void)ossl.ctxCtrl(made, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
    ossl.ctxSetOptions(made, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
    (void)ossl.ctxCtrl(made, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS,
                        nullptr);
    (void)ossl.ctxSetNumTickets(made, 0);
    (void)ossl.ctxCtrl(made, SSL_CTRL_SET_SESS_CACHE_MODE, SSL_SESS_CACHE_OFF, nullptr);
    char what[LINE_SIZE];
    if (ossl.ctxUseChainFile(made, certPath) != 1) {
        std::snprintf(what, sizeof what, "TLS certificate %s", certPath);
    } else if (ossl.ctxUseKeyFile(made, keyPath, SSL_FILETYPE_PEM) != 1) {
        if (keyPath == certPath) std::snprintf(what, sizeof what, "TLS key: no --tls-key given, and none in %s", certPath);
        else std::snprintf(what, sizeof what, "TLS key %s", keyPath);
    } else if (ossl.ctxCheckKey(made) != 1) {
        std::snprintf(what, sizeof what, "TLS key %s does not match the certificate %s", keyPath, certPath);
    } else {
        return made;
    }
    reportSslError(what);
    ossl.ctxFree(made);
    return nullptr;
}

void failSession(Session &s)
{
    s.failed = true;
    ossl.errClear();
}

int slotOfTag(int tag) { return tag > slotTag(DAEMON_SLOT) ? tag - 1 : -1; }
int freshOfTag(int tag) { return tag < 0 ? -tag - 1 : -1; }

// Whether the listed socket still needs the poller, and whether it would now read.
bool holdsPlainBytes(const Session &s) { return s.established && !s.failed && ossl.sslPending(s.ssl) > 0; }

bool readyToRead(int fd)
{
    const int slot = slotOfTag(tagOf(fd));
    if (slot >= 0) return wantsInput(slot) != 0;
    return freshOfTag(tagOf(fd)) >= 0;
}

void unlistSettled()
{
    int kept = 0;
    for (int i = 0; i < attentionCount; ++i) {
        const int fd = attention[i];
        Session *s = sessionOf(fd);
        if (s && (s->wantsWrite || holdsPlainBytes(*s))) attention[kept++] = fd;
        else if (fd > 0 && fd < capacity) sessions[fd].listed = false;
    }
    attentionCount = kept;
}

// Bytes a session read off the socket wait in it, where the wait cannot see them: the wait ends at
// once while one of them would be read.
void beforeWait()
{
    unlistSettled();
    for (int i = 0; i < attentionCount; ++i) {
        const Session &s = sessions[attention[i]];
        if (holdsPlainBytes(s) && readyToRead(attention[i])) wakeWithinMs(0);
    }
}

// A read can end the connection, and with it a session listed after it: each is looked up afresh.
void afterWait()
{
    const int count = attentionCount;
    for (int i = 0; i < count && i < attentionCount; ++i) {
        const int fd = attention[i];
        const Session *s = sessionOf(fd);
        if (!s) continue;
        const int tag = tagOf(fd);
        if (s->wantsWrite && !isWritable(fd)) continue;
        if (!s->wantsWrite && !(holdsPlainBytes(*s) && readyToRead(fd))) continue;
        if (freshOfTag(tag) >= 0) readFresh(freshOfTag(tag));
        else if (slotOfTag(tag) >= 0) recvData(slotOfTag(tag));
    }
}

// A key without its certificate would leave the TLS port silently shut: the user meant to have one.
bool tlsPairGiven()
{
    if (replyMode != Replies::Client || !keyPath || certPath) return true;
    std::fprintf(stderr, "quorvel: --tls-key %s needs --tls-cert FILE too: no TLS port without a certificate\n", keyPath);
    return false;
}

}  // namespace

void takeTlsOptions(int &argc, char **argv)
{
    certPath = rt_take_valued_option(argc, argv, "--tls-cert");
    keyPath = rt_take_valued_option(argc, argv, "--tls-key");
    const char *port = rt_take_valued_option(argc, argv, "--tls-port");
    if (!port) return;
    char *end = nullptr;
    const long value = std::strtol(port, &end, 10);
    if (*port == '\0' || *end != '\0' || value < 0 || value > 65535) {
        std::fprintf(stderr, "%s: invalid --tls-port = %s (0 for none, or 1 to 65535)\n", argv[0], port);
        std::exit(rt_error_status);
    }
    givenPort = static_cast<int>(value);
    portGiven = true;
}

bool tlsOptionsGiven() { return certPath || keyPath || portGiven; }

int tlsPort() { return replyMode == Replies::Client && certPath ? givenPort : 0; }

bool checkTlsFiles()
{
    if (!tlsPairGiven()) return false;
    if (tlsPort() == 0) return true;
    if (!keyPath) keyPath = certPath;  // one PEM file may hold both
    if (!loadOpenSsl()) return false;
    SSL_CTX *made = makeContext();
    if (made) ossl.ctxFree(made);
    return made != nullptr;
}

bool prepareTls(int descriptors)
{
    if (!tlsPairGiven()) return false;
    if (tlsPort() == 0) return true;
    if (!keyPath) keyPath = certPath;
    if (!loadOpenSsl()) return false;
    context = makeContext();
    if (!context) return false;
    socketMethod = ossl.bioMethNew(ossl.bioNewIndex() | BIO_TYPE_SOURCE_SINK, "quorvel socket");
    if (!socketMethod) {
        std::fprintf(stderr, "quorvel: OpenSSL gave no socket method for the TLS port\n");
        return false;
    }
    ossl.bioMethSetWrite(socketMethod, bioWrite);
    ossl.bioMethSetRead(socketMethod, bioRead);
    ossl.bioMethSetCtrl(socketMethod, bioControl);
    ossl.bioMethSetCreate(socketMethod, bioCreate);
    capacity = descriptors;
    sessions = static_cast<Session *>(mapZeroed(static_cast<size_t>(capacity) * sizeof *sessions));
    attention = static_cast<int *>(mapZeroed(static_cast<size_t>(capacity) * sizeof *attention));
    if (!sessions || !attention) {
        std::fprintf(stderr, "quorvel: no memory for the TLS sessions\n");
        return false;
    }
    addPoller({beforeWait, afterWait});
    return true;
}

void reloadTls()
{
    if (!context) return;
    SSL_CTX *made = makeContext();
    if (!made) {
        std::fprintf(stderr, "quorvel: the TLS certificate was not reloaded; the one loaded before stays in use\n");
        return;
    }
    // Sessions hold a reference of their own to the context they began with.
    ossl.ctxFree(context);
    context = made;
    std::printf("quorvel: TLS certificate %s reloaded\n", certPath);
    std::fflush(stdout);
}

bool beginTlsSession(int fd)
{
    if (!context || fd <= 0 || fd >= capacity) return false;
    SSL *ssl = ossl.sslNew(context);
    BIO *bio = ssl ? ossl.bioNew(socketMethod) : nullptr;
    if (!bio) {
        if (ssl) ossl.sslFree(ssl);
        ossl.errClear();
        return false;
    }
    ossl.bioSetData(bio, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
    ossl.sslSetBio(ssl, bio, bio);
    ossl.sslSetAcceptState(ssl);
    sessions[fd] = Session{ssl, false, false, false, sessions[fd].listed};
    return true;
}

bool isTlsSocket(int fd) { return sessionOf(fd) != nullptr; }

Handshake continueHandshake(int fd)
{
    Session *s = sessionOf(fd);
    if (!s || s->failed) return Handshake::Failed;
    if (s->established) return Handshake::Done;
    const int done = ossl.sslDoHandshake(s->ssl);
    s->wantsWrite = false;
    if (done == 1) {
        s->established = true;
        watchOwn(fd, true, false);
        // The client's first lines may have come with its last handshake record.
        if (ossl.sslPending(s->ssl) > 0) list(fd);
        return Handshake::Done;
    }
    switch (ossl.sslGetError(s->ssl, done)) {
    case SSL_ERROR_WANT_READ:
        watchOwn(fd, true, false);
        return Handshake::Again;
    case SSL_ERROR_WANT_WRITE:
        s->wantsWrite = true;
        list(fd);
        watchOwn(fd, false, true);
        return Handshake::Again;
    default:
        failSession(*s);
        return Handshake::Failed;
    }
}

void endTlsSession(int fd)
{
    Session *s = sessionOf(fd);
    if (!s) return;
    // close_notify, if the socket takes it now: a client then tells a close from a cut connection.
    if (s->established && !s->failed) (void)ossl.sslShutdown(s->ssl);
    ossl.errClear();
    ossl.sslFree(s->ssl);
    s->ssl = nullptr;
    s->established = s->failed = s->wantsWrite = false;
}

ssize_t readSocket(int fd, char *bytes, size_t room)
{
    Session *s = sessionOf(fd);
    if (!s) {
        ssize_t got;
        do {
            got = recv(fd, bytes, room, MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        return got;
    }
    if (s->failed || !s->established) {
        errno = ECONNRESET;
        return -1;
    }
    size_t got = 0;
    while (got < room) {
        const int n = ossl.sslRead(s->ssl, bytes + got, static_cast<int>(room - got));
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        const int error = ossl.sslGetError(s->ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (got > 0) break;
            errno = EAGAIN;
            return -1;
        }
        if (error != SSL_ERROR_ZERO_RETURN) failSession(*s);
        if (got > 0) break;  // the end, or the failure, shows at the next read
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        errno = ECONNRESET;
        return -1;
    }
    if (holdsPlainBytes(*s)) list(fd);
    return static_cast<ssize_t>(got);
}

ssize_t writeSocket(int fd, const iovec *parts, int count)
{
    Session *s = sessionOf(fd);
    if (!s) {
        // One part, the usual reply, goes by send: it spares the kernel the message header's copy.
        if (count == 1) return send(fd, parts[0].iov_base, parts[0].iov_len, MSG_NOSIGNAL | MSG_DONTWAIT);
        msghdr message{};
        message.msg_iov = const_cast<iovec *>(parts);
        message.msg_iovlen = static_cast<size_t>(count);
        return sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    if (s->failed || !s->established || count == 0) {
        errno = EPIPE;
        return -1;
    }
    // One record at a time, as full as the queue allows: its blocks are gathered, so that a flush
    // costs a record and a send per 16 KiB rather than per block. A write refused for want of room
    // is offered again from the same byte and no shorter, as OpenSSL requires: nothing left the
    // queue since, and it can only have grown.
    const void *bytes = parts[0].iov_base;
    size_t length = parts[0].iov_len;
    if (count > 1) {
        static char gathered[SSL3_RT_MAX_PLAIN_LENGTH];
        length = 0;
        for (int i = 0; i < count && length < sizeof gathered; ++i) {
            const size_t part = std::min(parts[i].iov_len, sizeof gathered - length);
            std::memcpy(gathered + length, parts[i].iov_base, part);
            length += part;
        }
        bytes = gathered;
    }
    const int n = ossl.sslWrite(s->ssl, bytes, static_cast<int>(length));
    if (n > 0) return n;
    const int error = ossl.sslGetError(s->ssl, n);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
        errno = EAGAIN;
        return -1;
    }
    failSession(*s);
    errno = EPIPE;
    return -1;
}
