/* scale_client.c - the load side of bench/scale-peers: thousands of IRC clients on one epoll loop.
 *
 *   scale_client reg --server H:P --n 10000 [--conc 128]     register N clients, report, hold them
 *                                                             until stdin closes or says anything
 *   scale_client fan --server H:P[,H:P...] --members 1000 --msgs 1000 [--window 100]
 *                                                             one sender pipelines to a channel of
 *                                                             members spread over the servers
 *   scale_client rtt --server H:P --clients 1000 --rounds 20  every client does one round trip at a
 *                                                             time with its partner, all at once
 *   scale_client direct --server H:P --msgs 100000 [--window 1000]
 *                                                             one sender pipelines PRIVMSGs to one
 *                                                             receiver by nick
 *   any of them with --tls 1                                  every connection over TLS (1.2 or
 *                                                             later, the certificate not checked),
 *                                                             a full handshake each
 *
 * One JSON object per phase goes to stdout. Every phase is bounded by --deadline (seconds) and
 * every line a member receives is checked: lost, duplicated, out of order and mangled lines are
 * counted, never assumed away. The client's own CPU time over each measured phase is reported
 * beside its wall time, so that a figure limited by this side shows itself. Clients connect from
 * --sources loopback addresses (127.0.2.1 onwards) so that per-address limits and the ephemeral
 * ports of one address are not what ends a run. Loopback only. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define MAX_CLIENTS 20000
#define MAX_SERVERS 8
#define RBUF 8192
#define OBUF 1024
#define TEXT_LEN 32
#define SEQ_DIGITS 8
#define SAMPLE 200

enum { FREE, CONNECTING, HANDSHAKING, REGISTERING, REGISTERED, JOINING, JOINED, REFUSED, DROPPED };

struct conn {
    int fd;
    SSL *ssl;  /* NULL on a plain connection */
    unsigned char state, server, probed;
    char nick[10];
    char *in;
    int inlen;
    char out[OBUF];
    int outlen;
    /* fan: what this member received */
    unsigned char *seen;
    uint32_t got, high, dup, ooo, bad;
    /* rtt: the round trip in progress */
    uint64_t sent_ns;
    uint32_t round;
};

static struct conn *cs;
static int ncs, epfd;
static struct sockaddr_in servers[MAX_SERVERS];
static int nservers = 1, nsources = 16;
static char tag[4] = "aaa";
static double deadline_s = 30;
static int conc = 128;
static uint64_t t_origin;
static char refusal[SAMPLE], other[SAMPLE], sender_note[SAMPLE];
static long refused, dropped, other_lines;
static long rtt_inflight;  /* round trips sent and not yet back */
/* The fan-out's progress, kept as lines arrive so that the loop never walks every member:
 * at_high[h] counts the live members whose highest line so far is h - 1. */
static uint32_t *at_high, low_mark;
static uint64_t got_total;
static int live_count;
static SSL_CTX *tls_ctx;  /* set with --tls 1 */
static char tls_seen[64];  /* the first connection's protocol and cipher */

static uint64_t now_ns(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

static double cpu_s(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static void die(const char *what)
{
    fprintf(stderr, "scale_client: %s: %s\n", what, strerror(errno));
    exit(2);
}

static void keep(char *dst, const char *line, int len)
{
    if (dst[0]) return;
    if (len > SAMPLE - 1) len = SAMPLE - 1;
    for (int i = 0; i < len; i++) dst[i] = (line[i] == '"' || line[i] == '\\' || (unsigned char)line[i] < 32) ? '?' : line[i];
    dst[len] = 0;
}

static void arm(int i, int out)
{
    struct epoll_event ev = {.events = EPOLLIN | (out ? EPOLLOUT : 0), .data.u32 = (uint32_t)i};
    epoll_ctl(epfd, EPOLL_CTL_MOD, cs[i].fd, &ev);
}

static void finish(int i, int state)
{
    struct conn *c = &cs[i];
    if (c->seen && at_high && c->fd >= 0) { at_high[c->high]--; live_count--; }
    if (c->fd >= 0) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, c->fd, NULL);
        close(c->fd);
        c->fd = -1;
    }
    if (c->ssl) { SSL_free(c->ssl); c->ssl = NULL; }
    if (c->sent_ns) { c->sent_ns = 0; rtt_inflight--; }
    if (state == REFUSED) refused++;
    if (state == DROPPED) dropped++;
    c->state = (unsigned char)state;
}

/* send() and recv() for either kind of connection: bytes moved, 0 at the end of the stream
 * (recv), or -1 with errno (EAGAIN: not now). A TLS write refused for want of room is offered
 * again from the same byte, as a partial send() would be: the context allows partial writes
 * from a moved buffer. */
static ssize_t tls_result(struct conn *c, int n)
{
    int e = SSL_get_error(c->ssl, n);
    ERR_clear_error();
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) errno = EAGAIN;
    else if (e == SSL_ERROR_ZERO_RETURN) return 0;
    else errno = ECONNRESET;
    return -1;
}

static ssize_t io_send(struct conn *c, const char *b, size_t len)
{
    if (!c->ssl) return send(c->fd, b, len, MSG_NOSIGNAL);
    int n = SSL_write(c->ssl, b, (int)len);
    if (n > 0) return n;
    ssize_t r = tls_result(c, n);
    if (r == 0) errno = EPIPE;
    return -1;
}

static ssize_t io_recv(struct conn *c, char *b, size_t room)
{
    if (!c->ssl) return recv(c->fd, b, room, 0);
    int n = SSL_read(c->ssl, b, (int)room);
    return n > 0 ? n : tls_result(c, n);
}

/* Sender output for the fan-out: numbered lines made as the socket takes them. */
static char sbuf[65536];
static int slen, soff;
static uint32_t next_seq;
static uint64_t t_sent_all;
static int mode_fan, mode_direct, mode_rtt_self;
static int sender = -1;

/* Small control lines (registration, JOIN, PONG, a round trip) go out at once; what the socket
 * does not take waits in the connection's own buffer. */
static void sendline(int i, const char *s, int len)
{
    struct conn *c = &cs[i];
    if (c->fd < 0) return;
    /* A PONG to the sender must not land inside a channel line that is half sent. */
    int held = mode_fan && i == sender && soff < slen;
    if (c->outlen == 0 && !held) {
        ssize_t n = io_send(c, s, (size_t)len);
        if (n == len) return;
        if (n < 0 && errno != EAGAIN) { finish(i, c->state >= REGISTERED ? DROPPED : REFUSED); return; }
        if (n > 0) { s += n; len -= (int)n; }
    }
    if (c->outlen + len > OBUF) { finish(i, DROPPED); return; }
    memcpy(c->out + c->outlen, s, (size_t)len);
    c->outlen += len;
    if (!held) arm(i, 1);
}

static void flush_out(int i)
{
    struct conn *c = &cs[i];
    if (c->outlen == 0) { arm(i, 0); return; }
    ssize_t n = io_send(c, c->out, (size_t)c->outlen);
    if (n < 0) { if (errno != EAGAIN) finish(i, DROPPED); return; }
    memmove(c->out, c->out + n, (size_t)(c->outlen - n));
    c->outlen -= (int)n;
    if (c->outlen == 0) arm(i, 0);
}

static void make_nick(int i)
{
    /* 1 + 3 + 5 characters: within every server's nine. */
    snprintf(cs[i].nick, sizeof cs[i].nick, "s%s%05d", tag, i);
}

static int open_client(int i)
{
    struct conn *c = &cs[i];
    make_nick(i);
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) die("socket");
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    /* The port is chosen at connect, by the whole 4-tuple: one source address then serves
     * every server without running out of ports. */
    setsockopt(c->fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    struct sockaddr_in src = {.sin_family = AF_INET};
    src.sin_addr.s_addr = htonl((127u << 24) | (2u << 8) | (unsigned)(1 + i % nsources));
    if (bind(c->fd, (struct sockaddr *)&src, sizeof src) < 0) die("bind source address");
    struct epoll_event ev = {.events = EPOLLIN | EPOLLOUT, .data.u32 = (uint32_t)i};
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, c->fd, &ev) < 0) die("epoll_ctl");
    c->state = CONNECTING;
    if (connect(c->fd, (struct sockaddr *)&servers[c->server], sizeof servers[0]) < 0 && errno != EINPROGRESS) {
        keep(refusal, "connect failed", 14);
        finish(i, REFUSED);
        return 0;
    }
    if (!c->in) c->in = malloc(RBUF);
    if (!c->in) die("malloc");
    c->inlen = 0;
    return 1;
}

/* ------------------------------------------------------------------ line handling */

static int fan_msgs;
static char chan[16];
static const char *target = chan;  /* where the sender's lines go: the channel, or the receiver's nick */
static uint64_t rtt_warmup, rtt_rounds;
static uint32_t *rtts;
static long nrtts, rtt_cap;
static char filler[TEXT_LEN - SEQ_DIGITS + 1];

/* Fields of one line: the command and, for PRIVMSG, the text. */
static const char *word(const char *p, const char *end, int *len)
{
    while (p < end && *p == ' ') p++;
    const char *q = p;
    while (q < end && *q != ' ') q++;
    *len = (int)(q - p);
    return p;
}

static int is(const char *w, int len, const char *s) { return len == (int)strlen(s) && memcmp(w, s, (size_t)len) == 0; }

static void rtt_send(int i);

static void fan_text(int i, const char *text, int len)
{
    struct conn *c = &cs[i];
    if (len >= 5 && memcmp(text, "probe", 5) == 0) { c->probed = 1; return; }
    uint32_t seq = 0;
    int ok = len == TEXT_LEN;
    for (int k = 0; ok && k < SEQ_DIGITS; k++) {
        if (text[k] < '0' || text[k] > '9') ok = 0;
        else seq = seq * 10 + (uint32_t)(text[k] - '0');
    }
    if (!ok || seq >= (uint32_t)fan_msgs || memcmp(text + SEQ_DIGITS, filler, TEXT_LEN - SEQ_DIGITS) != 0 || !c->seen) {
        c->bad++;
        return;
    }
    if (c->seen[seq]) { c->dup++; return; }
    c->seen[seq] = 1;
    c->got++;
    got_total++;
    if (seq + 1 < c->high) c->ooo++;
    if (seq + 1 > c->high) {
        at_high[c->high]--;
        at_high[seq + 1]++;
        c->high = seq + 1;
    }
}

static void rtt_text(int i, const char *from, int fromlen, const char *text, int len)
{
    struct conn *c = &cs[i];
    (void)from; (void)fromlen;
    if (len < 2 || (text[0] != 'o' && text[0] != 'e')) { other_lines++; return; }
    uint32_t seq = (uint32_t)strtoul(text + 1, NULL, 10);
    if (text[0] == 'o' && !mode_rtt_self) {
        /* The partner's request: echo it straight back. */
        char line[64];
        int n = snprintf(line, sizeof line, "PRIVMSG %s :e%u\r\n", cs[i ^ 1].nick, seq);
        sendline(i, line, n);
        return;
    }
    if (seq != c->round || c->sent_ns == 0) { other_lines++; return; }
    uint64_t dt = now_ns() - c->sent_ns;
    c->sent_ns = 0;
    rtt_inflight--;
    if (c->round >= rtt_warmup && nrtts < rtt_cap) rtts[nrtts++] = (uint32_t)(dt / 1000);
    c->round++;
    if (c->round < rtt_warmup + rtt_rounds) rtt_send(i);
}

static void rtt_send(int i)
{
    struct conn *c = &cs[i];
    char line[64];
    int to = mode_rtt_self ? i : (i ^ 1);
    int n = snprintf(line, sizeof line, "PRIVMSG %s :o%u\r\n", cs[to].nick, c->round);
    c->sent_ns = now_ns();
    rtt_inflight++;
    sendline(i, line, n);
}

static void on_line(int i, const char *line, int len)
{
    struct conn *c = &cs[i];
    const char *p = line, *end = line + len;
    const char *from = NULL;
    int fromlen = 0;
    if (p < end && *p == ':') {
        from = p + 1;
        while (p < end && *p != ' ') p++;
        fromlen = (int)(p - from);
    }
    int cl;
    const char *cmd = word(p, end, &cl);
    p = cmd + cl;
    if (is(cmd, cl, "PING")) {
        char pong[600];
        int al;
        const char *arg = word(p, end, &al);
        int n = snprintf(pong, sizeof pong, "PONG %s%.*s\r\n", (al && arg[0] == ':') ? "" : ":", al, arg);
        sendline(i, pong, n);
        return;
    }
    if (is(cmd, cl, "ERROR")) {
        keep(c->state >= REGISTERED ? other : refusal, line, len);
        finish(i, c->state >= REGISTERED ? DROPPED : REFUSED);
        return;
    }
    if (is(cmd, cl, "PRIVMSG")) {
        int tl;
        const char *target = word(p, end, &tl);
        const char *text = target + tl;
        while (text < end && *text == ' ') text++;
        if (text < end && *text == ':') text++;
        if (i == sender) return;
        if (mode_fan) fan_text(i, text, (int)(end - text));
        else rtt_text(i, from, fromlen, text, (int)(end - text));
        return;
    }
    if (c->state == REGISTERING) {
        if (is(cmd, cl, "376") || is(cmd, cl, "422")) { c->state = REGISTERED; return; }
        static const char *fatal[] = {"432", "433", "436", "437", "451", "461", "462", "465", "465", NULL};
        for (int k = 0; fatal[k]; k++)
            if (is(cmd, cl, fatal[k])) { keep(refusal, line, len); finish(i, REFUSED); return; }
        return;
    }
    if (c->state == JOINING) {
        if (is(cmd, cl, "366")) { c->state = JOINED; return; }
        static const char *fatal[] = {"403", "405", "437", "451", "471", "473", "474", "475", "476", "477", NULL};
        for (int k = 0; fatal[k]; k++)
            if (is(cmd, cl, fatal[k])) { keep(refusal, line, len); finish(i, REFUSED); return; }
        return;
    }
    if (c->state == JOINED && !is(cmd, cl, "JOIN") && !is(cmd, cl, "353") && !is(cmd, cl, "366")) {
        other_lines++;
        keep(other, line, len);
    }
}

static void on_readable(int i)
{
    struct conn *c = &cs[i];
    for (int pass = 0; c->fd >= 0; pass++) {
        ssize_t n = io_recv(c, c->in + c->inlen, (size_t)(RBUF - c->inlen));
        if (n < 0) {
            if (errno == EAGAIN) return;
            n = 0;
        }
        if (n == 0) {
            if (c->state < REGISTERED) keep(refusal, "closed before registration", 26);
            finish(i, c->state >= REGISTERED ? DROPPED : REFUSED);
            return;
        }
        c->inlen += (int)n;
        int start = 0;
        for (;;) {
            char *nl = memchr(c->in + start, '\n', (size_t)(c->inlen - start));
            if (!nl) break;
            int len = (int)(nl - (c->in + start));
            if (len > 0 && c->in[start + len - 1] == '\r') len--;
            on_line(i, c->in + start, len);
            if (c->fd < 0) return;
            start = (int)(nl - c->in) + 1;
        }
        memmove(c->in, c->in + start, (size_t)(c->inlen - start));
        c->inlen -= start;
        if (c->inlen == RBUF) { c->bad++; c->inlen = 0; }
        /* Bytes a TLS session already took off the socket would wake no epoll_wait. */
        if (c->ssl && SSL_has_pending(c->ssl)) continue;
        if (n < RBUF / 2 || pass == 7) return;
    }
}

static void begin_registration(int i)
{
    struct conn *c = &cs[i];
    c->state = REGISTERING;
    arm(i, 0);
    char line[128];
    int n = snprintf(line, sizeof line, "NICK %s\r\nUSER %s 0 * :scale bench\r\n", c->nick, c->nick);
    sendline(i, line, n);
}

/* The handshake as far as the socket allows; the wait is armed for what it needs next. */
static void on_handshake(int i)
{
    struct conn *c = &cs[i];
    int r = SSL_do_handshake(c->ssl);
    if (r == 1) {
        if (!tls_seen[0]) snprintf(tls_seen, sizeof tls_seen, "%s %s", SSL_get_version(c->ssl), SSL_get_cipher_name(c->ssl));
        begin_registration(i);
        return;
    }
    int e = SSL_get_error(c->ssl, r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        arm(i, e == SSL_ERROR_WANT_WRITE);
        return;
    }
    char why[SAMPLE];
    snprintf(why, sizeof why, "TLS handshake failed: %s", ERR_reason_error_string(ERR_peek_error()) ? ERR_reason_error_string(ERR_peek_error()) : "closed");
    ERR_clear_error();
    keep(refusal, why, (int)strlen(why));
    finish(i, REFUSED);
}

static void on_connected(int i)
{
    struct conn *c = &cs[i];
    int err = 0;
    socklen_t el = sizeof err;
    getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &el);
    if (err) {
        keep(refusal, "connect refused", 15);
        finish(i, REFUSED);
        return;
    }
    if (tls_ctx) {
        c->ssl = SSL_new(tls_ctx);
        if (!c->ssl || SSL_set_fd(c->ssl, c->fd) != 1) die("SSL_new");
        SSL_set_connect_state(c->ssl);
        c->state = HANDSHAKING;
        on_handshake(i);
        return;
    }
    begin_registration(i);
}


static void pump_sender(uint32_t limit)
{
    struct conn *s = &cs[sender];
    while (s->fd >= 0) {
        if (soff == slen && s->outlen) {
            flush_out(sender);
            if (s->outlen) return;
        }
        if (soff == slen) {
            slen = soff = 0;
            while (next_seq < limit && slen < (int)sizeof sbuf - 128) {
                slen += snprintf(sbuf + slen, sizeof sbuf - (size_t)slen, "PRIVMSG %s :%08u%s\r\n", target, next_seq, filler);
                next_seq++;
            }
            if (slen == 0) break;
        }
        ssize_t n = io_send(s, sbuf + soff, (size_t)(slen - soff));
        if (n < 0) {
            if (errno == EAGAIN) { arm(sender, 1); return; }
            keep(sender_note, "send failed", 11);
            finish(sender, DROPPED);
            return;
        }
        soff += (int)n;
    }
    if (next_seq == (uint32_t)fan_msgs && soff == slen && !t_sent_all) {
        t_sent_all = now_ns();
        /* ngircd 26 over GnuTLS relays a sender's last lines only once more bytes come from it,
         * as a client that goes on talking sends them. */
        if (mode_direct) sendline(sender, "PING :tail\r\n", 12);
    }
    if (s->fd >= 0) arm(sender, 0);
}

/* One pass of the loop: every ready socket handled. Returns the events seen. */
static int poll_once(int ms)
{
    struct epoll_event evs[512];
    int n = epoll_wait(epfd, evs, 512, ms);
    if (n < 0 && errno != EINTR) die("epoll_wait");
    for (int k = 0; k < n; k++) {
        int i = (int)evs[k].data.u32;
        if (i == MAX_CLIENTS) continue;  /* stdin: looked at by the caller */
        if (cs[i].fd < 0) continue;
        if (cs[i].state == CONNECTING) {
            if (evs[k].events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) on_connected(i);
            continue;
        }
        if (cs[i].state == HANDSHAKING) {
            on_handshake(i);
            continue;
        }
        if (evs[k].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) on_readable(i);
        if (cs[i].fd >= 0 && (evs[k].events & EPOLLOUT)) {
            if (i == sender && mode_fan) {
                if (cs[i].outlen && soff == slen) flush_out(i);
                else arm(i, 0);
            } else {
                flush_out(i);
            }
        }
    }
    return n < 0 ? 0 : n;
}

/* Tells the caller that the measured part begins, so that it can read the server's CPU time. */
static void mark(void)
{
    printf("{\"phase\":\"measure\"}\n");
    fflush(stdout);
}

static double secs(uint64_t a, uint64_t b) { return (double)(b - a) / 1e9; }

/* Registers clients [0, n) with at most conc of them between connect and welcome; then, with
 * join, each JOINs the channel as soon as it is registered. Returns the clients that made it. */
static int register_all(int n, int join, uint64_t end, uint64_t *t_last)
{
    int opened = 0, done = 0;
    *t_last = now_ns();
    while (now_ns() < end) {
        int busy = 0, ok = 0;
        done = 0;
        for (int i = 0; i < opened; i++) {
            unsigned st = cs[i].state;
            if (st == CONNECTING || st == HANDSHAKING || st == REGISTERING) busy++;
            if (join && st == REGISTERED) {
                char line[64];
                int len = snprintf(line, sizeof line, "JOIN %s\r\n", chan);
                cs[i].state = JOINING;
                sendline(i, line, len);
                busy++;
                continue;
            }
            if (join && st == JOINING) busy++;
            if (st == (join ? JOINED : REGISTERED)) ok++;
            if (st == REFUSED || st == DROPPED || st == (join ? JOINED : REGISTERED)) done++;
        }
        while (opened < n && busy < conc) {
            busy += open_client(opened);
            opened++;
        }
        if (done == n) { return ok; }
        if (poll_once(5) > 0) *t_last = now_ns();
    }
    int ok = 0;
    for (int i = 0; i < n; i++) ok += cs[i].state == (join ? JOINED : REGISTERED);
    return ok;
}

static void close_all(void)
{
    for (int i = 0; i < ncs; i++) {
        if (cs[i].ssl) { SSL_free(cs[i].ssl); cs[i].ssl = NULL; }
        if (cs[i].fd >= 0) { close(cs[i].fd); cs[i].fd = -1; }
    }
}

static int cmp_u32(const void *a, const void *b)
{
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return x < y ? -1 : x > y;
}

static uint32_t pct(uint32_t *v, long n, int p)
{
    if (n == 0) return 0;
    long k = (p * n + 99) / 100 - 1;
    if (k < 0) k = 0;
    if (k >= n) k = n - 1;
    return v[k];
}

/* ------------------------------------------------------------------ the three commands */

static int cmd_reg(int n, double hold_s)
{
    mark();
    uint64_t t0 = now_ns(), t_last;
    double c0 = cpu_s();
    int ok = register_all(n, 0, t0 + (uint64_t)(deadline_s * 1e9), &t_last);
    uint64_t t1 = now_ns();
    /* The last registration's welcome ended the phase, not the poll that noticed it. */
    double el = secs(t0, t1);
    printf("{\"phase\":\"reg\",\"tls\":\"%s\",\"n\":%d,\"registered\":%d,\"refused\":%ld,\"dropped\":%ld,\"elapsed_s\":%.6f,"
           "\"regs_per_s\":%.1f,\"client_cpu_s\":%.3f,\"refusal\":\"%s\"}\n",
           tls_seen, n, ok, refused, dropped, el, el > 0 ? ok / el : 0.0, cpu_s() - c0, refusal);
    fflush(stdout);
    /* Hold the clients, answering PINGs, until told (stdin) or hold_s passes. */
    struct epoll_event ev = {.events = EPOLLIN, .data.u32 = MAX_CLIENTS};
    epoll_ctl(epfd, EPOLL_CTL_ADD, 0, &ev);
    uint64_t end = now_ns() + (uint64_t)(hold_s * 1e9);
    while (now_ns() < end) {
        struct epoll_event evs[512];
        int k = epoll_wait(epfd, evs, 512, 50);
        int stop = 0;
        for (int j = 0; j < k; j++) {
            int i = (int)evs[j].data.u32;
            if (i == MAX_CLIENTS) { stop = 1; continue; }
            if (cs[i].fd >= 0) on_readable(i);
        }
        if (stop) break;
    }
    int alive = 0;
    for (int i = 0; i < n; i++) alive += cs[i].state == REGISTERED;
    close_all();
    printf("{\"phase\":\"held\",\"alive\":%d,\"dropped\":%ld}\n", alive, dropped);
    return 0;
}

/* The channel's fan-out, or with direct one member addressed by nick rather than by channel. */
static int cmd_fan(int members, int window, int direct)
{
    int n = members + 1;
    const char *phase = direct ? "direct" : "fan";
    unsigned char ready = direct ? REGISTERED : JOINED;
    sender = 0;
    for (int i = 0; i < n; i++) cs[i].server = (unsigned char)(i % nservers);
    if (direct) target = cs[1].nick;
    mode_direct = direct;
    uint64_t t0 = now_ns(), t_last;
    int ok = register_all(n, !direct, t0 + (uint64_t)(deadline_s * 1e9), &t_last);
    double setup_s = secs(t0, now_ns());
    int live_members = 0;
    at_high = calloc((size_t)fan_msgs + 1, sizeof *at_high);
    if (!at_high) die("calloc");
    for (int i = 1; i < n; i++)
        if (cs[i].state == ready) {
            cs[i].seen = calloc((size_t)fan_msgs, 1);
            if (!cs[i].seen) die("calloc");
            live_members++;
        }
    at_high[0] = (uint32_t)live_members;
    live_count = live_members;
    if (cs[0].state != ready || live_members == 0) {
        printf("{\"phase\":\"%s\",\"members\":%d,\"joined\":%d,\"refused\":%ld,\"complete\":false,"
               "\"error\":\"setup: sender or members missing\",\"refusal\":\"%s\"}\n", phase, members, ok, refused, refusal);
        close_all();
        return 0;
    }
    /* A probe line until every member has one shows the channel reaches them all (across nodes
     * the routes take a moment); probes are not counted. */
    uint64_t probe_end = now_ns() + 30000000000ull, next_probe = 0;
    int probes = 0, all = 0;
    while (now_ns() < probe_end) {
        all = 1;
        for (int i = 1; i < n; i++)
            if (cs[i].state == ready && !cs[i].probed) { all = 0; break; }
        if (all) break;
        if (now_ns() >= next_probe) {
            char line[64];
            int len = snprintf(line, sizeof line, "PRIVMSG %s :probe%d\r\n", target, probes++);
            sendline(0, line, len);
            next_probe = now_ns() + 250000000ull;
        }
        poll_once(10);
    }
    int unprobed = 0;
    for (int i = 1; i < n; i++) unprobed += cs[i].state == ready && !cs[i].probed;
    /* The measured part: from the first send until every live member has every line, the
     * deadline passes, or nothing arrives for 3 s once all was sent. */
    mark();
    double c0 = cpu_s();
    uint64_t ts = now_ns(), end = ts + (uint64_t)(deadline_s * 1e9), last_rx = ts, t_done = 0;
    uint64_t total = (uint64_t)fan_msgs * (uint64_t)live_members;
    const char *stop = "complete";
    while (1) {
        uint64_t got = got_total;
        int live = live_count;
        while (low_mark < (uint32_t)fan_msgs && at_high[low_mark] == 0) low_mark++;
        uint32_t low = live ? low_mark : (uint32_t)fan_msgs;
        uint64_t t = now_ns();
        if (got == total) { t_done = last_rx; break; }
        if (live == 0) { stop = "members closed"; break; }
        if (t >= end) { stop = "deadline"; break; }
        if (t_sent_all && t - last_rx > 3000000000ull) { stop = "idle 3 s after the last send"; break; }
        if (cs[0].fd >= 0) {
            uint32_t limit = window > 0 ? low + (uint32_t)window : (uint32_t)fan_msgs;
            if (limit > (uint32_t)fan_msgs) limit = (uint32_t)fan_msgs;
            if (next_seq < limit || soff < slen) pump_sender(limit);
        } else if (cs[0].fd < 0 && !t_sent_all) {
            keep(sender_note, "server closed the sender", 24);
            t_sent_all = t;
        }
        if (poll_once(1) > 0) last_rx = now_ns();
    }
    double cpu = cpu_s() - c0;
    uint64_t got = 0, dup = 0, ooo = 0, bad = 0;
    int full = 0;
    for (int i = 1; i < n; i++) {
        if (!cs[i].seen) continue;
        got += cs[i].got; dup += cs[i].dup; ooo += cs[i].ooo; bad += cs[i].bad;
        full += cs[i].got == (uint32_t)fan_msgs;
    }
    double el = secs(ts, t_done ? t_done : last_rx);
    int complete = got == total && dup == 0 && ooo == 0 && bad == 0 && ok == n;
    printf("{\"phase\":\"%s\",\"tls\":\"%s\",\"members\":%d,\"joined\":%d,\"servers\":%d,\"msgs\":%d,\"window\":%d,"
           "\"setup_s\":%.3f,\"probes\":%d,\"unprobed\":%d,\"expected\":%llu,\"delivered\":%llu,\"lost\":%llu,"
           "\"duplicated\":%llu,\"out_of_order\":%llu,\"mangled\":%llu,\"members_complete\":%d,"
           "\"dropped\":%ld,\"refused\":%ld,\"elapsed_s\":%.6f,\"deliveries_per_s\":%.1f,"
           "\"client_cpu_s\":%.3f,\"client_cpu_share\":%.3f,\"stop\":\"%s\",\"complete\":%s,"
           "\"refusal\":\"%s\",\"other_lines\":%ld,\"other\":\"%s\",\"sender_note\":\"%s\"}\n",
           phase, tls_seen, members, live_members, nservers, fan_msgs, window, setup_s, probes, unprobed,
           (unsigned long long)total, (unsigned long long)got, (unsigned long long)(total - got), (unsigned long long)dup,
           (unsigned long long)ooo, (unsigned long long)bad, full, dropped, refused, el, el > 0 ? got / el : 0.0,
           cpu, el > 0 ? cpu / el : 0.0, stop, complete ? "true" : "false", refusal, other_lines, other, sender_note);
    close_all();
    return 0;
}

static int cmd_rtt(int n)
{
    uint64_t t0 = now_ns(), t_last;
    int ok = register_all(n, 0, t0 + (uint64_t)(deadline_s * 1e9), &t_last);
    double setup_s = secs(t0, now_ns());
    rtt_cap = (long)n * (long)rtt_rounds;
    rtts = calloc((size_t)rtt_cap + 1, sizeof *rtts);
    /* A client whose partner is missing has nobody to talk to. */
    int active = 0;
    for (int i = 0; i < n; i++) {
        int partner = mode_rtt_self ? i : (i ^ 1);
        if (cs[i].state == REGISTERED && partner < n && cs[partner].state == REGISTERED) active++;
    }
    mark();
    double c0 = cpu_s();
    uint64_t ts = now_ns(), end = ts + (uint64_t)(deadline_s * 1e9);
    for (int i = 0; i < n; i++) {
        int partner = mode_rtt_self ? i : (i ^ 1);
        if (cs[i].state == REGISTERED && partner < n && cs[partner].state == REGISTERED) rtt_send(i);
    }
    const char *stop = "complete";
    while (1) {
        if (rtt_inflight == 0) break;
        if (now_ns() >= end) { stop = "deadline"; break; }
        poll_once(5);
    }
    double el = secs(ts, now_ns()), cpu = cpu_s() - c0;
    qsort(rtts, (size_t)nrtts, sizeof *rtts, cmp_u32);
    long want = (long)active * (long)rtt_rounds;
    int complete = nrtts == want && ok == n && dropped == 0;
    printf("{\"phase\":\"rtt\",\"clients\":%d,\"registered\":%d,\"active\":%d,\"mode\":\"%s\",\"rounds\":%llu,"
           "\"warmup\":%llu,\"setup_s\":%.3f,\"samples\":%ld,\"expected\":%ld,\"p50_us\":%u,\"p90_us\":%u,\"p99_us\":%u,"
           "\"max_us\":%u,\"elapsed_s\":%.6f,\"round_trips_per_s\":%.1f,\"client_cpu_s\":%.3f,"
           "\"client_cpu_share\":%.3f,\"dropped\":%ld,\"refused\":%ld,\"other_lines\":%ld,\"stop\":\"%s\","
           "\"complete\":%s,\"refusal\":\"%s\",\"other\":\"%s\"}\n",
           n, ok, active, mode_rtt_self ? "self" : "partner", (unsigned long long)rtt_rounds,
           (unsigned long long)rtt_warmup, setup_s, nrtts, (long)n * (long)rtt_rounds, pct(rtts, nrtts, 50),
           pct(rtts, nrtts, 90), pct(rtts, nrtts, 99), nrtts ? rtts[nrtts - 1] : 0, el,
           el > 0 ? nrtts / el : 0.0, cpu, el > 0 ? cpu / el : 0.0, dropped, refused, other_lines, stop,
           complete ? "true" : "false", refusal, other);
    close_all();
    return 0;
}

/* ------------------------------------------------------------------ options */

/* Every connection a full handshake (no session is resumed); the servers' certificates are
 * self-signed, so none is checked. Partial writes from a moved buffer let a TLS write be retried
 * as a partial send() is; read-ahead takes what the socket holds in one read. */
static SSL_CTX *client_context(void)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) die("SSL_CTX_new");
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, NULL);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(ctx, 1);
    return ctx;
}

static void parse_servers(const char *list)
{
    char buf[512];
    snprintf(buf, sizeof buf, "%s", list);
    nservers = 0;
    for (char *save = NULL, *s = strtok_r(buf, ",", &save); s && nservers < MAX_SERVERS; s = strtok_r(NULL, ",", &save)) {
        char *colon = strrchr(s, ':');
        if (!colon) { fprintf(stderr, "scale_client: --server wants HOST:PORT\n"); exit(2); }
        *colon = 0;
        struct sockaddr_in *a = &servers[nservers++];
        a->sin_family = AF_INET;
        a->sin_port = htons((uint16_t)atoi(colon + 1));
        if (inet_pton(AF_INET, s, &a->sin_addr) != 1 || (ntohl(a->sin_addr.s_addr) >> 24) != 127) {
            fprintf(stderr, "scale_client: loopback addresses only (%s)\n", s);
            exit(2);
        }
    }
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: scale_client reg|fan|rtt|direct --server H:P[,H:P] [options]\n");
        return 2;
    }
    const char *cmd = argv[1];
    int n = 1000, window = 100, rounds = 20, warmup = 2, use_tls = 0;
    double hold = 120;
    fan_msgs = 1000;
    for (int k = 2; k + 1 < argc; k += 2) {
        const char *o = argv[k], *v = argv[k + 1];
        if (!strcmp(o, "--server")) parse_servers(v);
        else if (!strcmp(o, "--n") || !strcmp(o, "--members") || !strcmp(o, "--clients")) n = atoi(v);
        else if (!strcmp(o, "--msgs")) fan_msgs = atoi(v);
        else if (!strcmp(o, "--window")) window = atoi(v);
        else if (!strcmp(o, "--rounds")) rounds = atoi(v);
        else if (!strcmp(o, "--warmup")) warmup = atoi(v);
        else if (!strcmp(o, "--conc")) conc = atoi(v);
        else if (!strcmp(o, "--sources")) nsources = atoi(v);
        else if (!strcmp(o, "--deadline")) deadline_s = atof(v);
        else if (!strcmp(o, "--hold")) hold = atof(v);
        else if (!strcmp(o, "--tag")) snprintf(tag, sizeof tag, "%.3s", v);
        else if (!strcmp(o, "--self")) mode_rtt_self = atoi(v);
        else if (!strcmp(o, "--tls")) use_tls = atoi(v);
        else { fprintf(stderr, "scale_client: unknown option %s\n", o); return 2; }
    }
    if (!strcmp(cmd, "direct")) n = 1;
    int total = !strcmp(cmd, "fan") || !strcmp(cmd, "direct") ? n + 1 : n;
    if (total < 1 || total > MAX_CLIENTS || fan_msgs < 1 || fan_msgs > 1000000 || rounds < 1 || rounds > 10000 ||
        conc < 1 || nsources < 1 || nsources > 250 || deadline_s <= 0 || deadline_s > 600 || hold > 3600 ||
        warmup < 0 || warmup > 100) {
        fprintf(stderr, "scale_client: a count or a time out of bounds\n");
        return 2;
    }
    if (strlen(tag) != 3) { fprintf(stderr, "scale_client: --tag takes three letters\n"); return 2; }
    struct rlimit rl;
    getrlimit(RLIMIT_NOFILE, &rl);
    if (rl.rlim_cur < (rlim_t)total + 64) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
        getrlimit(RLIMIT_NOFILE, &rl);
        if (rl.rlim_cur < (rlim_t)total + 64) { fprintf(stderr, "scale_client: ulimit -n too low for %d clients\n", total); return 2; }
    }
    ncs = total;
    cs = calloc((size_t)total, sizeof *cs);
    if (!cs) die("calloc");
    for (int i = 0; i < total; i++) cs[i].fd = -1;
    epfd = epoll_create1(EPOLL_CLOEXEC);
    if (epfd < 0) die("epoll_create1");
    t_origin = now_ns();
    memcpy(filler, "abcdefghijklmnopqrstuvwxyz0123456789", TEXT_LEN - SEQ_DIGITS);
    filler[TEXT_LEN - SEQ_DIGITS] = 0;
    snprintf(chan, sizeof chan, "#s%s", tag);
    if (use_tls) tls_ctx = client_context();
    if (!strcmp(cmd, "reg")) return cmd_reg(n, hold);
    if (!strcmp(cmd, "fan") || !strcmp(cmd, "direct")) { mode_fan = 1; return cmd_fan(n, window, !strcmp(cmd, "direct")); }
    if (!strcmp(cmd, "rtt")) {
        if (!mode_rtt_self && n % 2) n--;
        rtt_rounds = (uint64_t)rounds;
        rtt_warmup = (uint64_t)warmup;
        ncs = n;
        return cmd_rtt(n);
    }
    fprintf(stderr, "scale_client: unknown command %s\n", cmd);
    return 2;
}
