// Holds every packet of an NFQUEUE queue for a fixed time in microseconds, then accepts it, in
// arrival order (no reordering, no loss). A stand-in for "tc qdisc add dev eth0 root netem delay
// X", which this kernel lacks (CONFIG_NET_SCH_NETEM is not set). It waits with nanosecond
// timeouts, so sub-millisecond delays (0.25 ms) are honoured. bench/link-bench builds and runs it.
// usage: usdelay DELAY_US MAX_S [QUEUE]
// build: cc -O2 -o usdelay usdelay.c -lnetfilter_queue -lnfnetlink
// with, in the namespace: iptables -A OUTPUT -o eth0 -j NFQUEUE --queue-num QUEUE --queue-bypass
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <libnfnetlink/libnfnetlink.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>

#define RING (1 << 18)
static uint32_t ids[RING];
static long long due[RING];
static unsigned head, tail;
static long long delayNs;
static unsigned long long held, passedAtOnce, maxHeld;
static volatile sig_atomic_t stop;

static long long nowNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static int onPacket(struct nfq_q_handle *qh, struct nfgenmsg *msg, struct nfq_data *nfa, void *data)
{
    (void)msg;
    (void)data;
    struct nfqnl_msg_packet_hdr *ph = nfq_get_msg_packet_hdr(nfa);
    if (!ph) return 0;
    uint32_t id = ntohl(ph->packet_id);
    if (head - tail >= RING) {  // full: let it through at once
        nfq_set_verdict(qh, id, NF_ACCEPT, 0, NULL);
        ++passedAtOnce;
        return 0;
    }
    ids[head % RING] = id;
    due[head % RING] = nowNs() + delayNs;
    ++head;
    ++held;
    if (head - tail > maxHeld) maxHeld = head - tail;
    return 0;
}

static void onSignal(int sig) { (void)sig; stop = 1; }

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: %s DELAY_US MAX_S [QUEUE]\n", argv[0]);
        return 2;
    }
    delayNs = atoll(argv[1]) * 1000LL;
    long long endNs = nowNs() + atoll(argv[2]) * 1000000000LL;
    int queue = argc == 4 ? atoi(argv[3]) : 0;
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    signal(SIGTERM, onSignal);
    signal(SIGINT, onSignal);
    struct nfq_handle *h = nfq_open();
    if (!h) { perror("nfq_open"); return 1; }
    nfq_unbind_pf(h, AF_INET);
    if (nfq_bind_pf(h, AF_INET) < 0) { perror("nfq_bind_pf"); return 1; }
    struct nfq_q_handle *qh = nfq_create_queue(h, queue, &onPacket, NULL);
    if (!qh) { perror("nfq_create_queue"); return 1; }
    if (nfq_set_mode(qh, NFQNL_COPY_META, 0) < 0) { perror("nfq_set_mode"); return 1; }
    nfq_set_queue_maxlen(qh, 65536);
    nfq_set_queue_flags(qh, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN);
    nfnl_rcvbufsiz(nfq_nfnlh(h), 16 << 20);
    int fd = nfq_fd(h);
    int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &one, sizeof one);
    static char buf[65536] __attribute__((aligned));
    fprintf(stdout, "usdelay: holding packets of queue %d for %s us\n", queue, argv[1]);
    fflush(stdout);
    unsigned long long enobufs = 0;
    // A timed wait wakes late by tens to hundreds of microseconds here (a virtual machine); the
    // running mean of that lateness is taken off each wait, so that packets leave on time on average.
    long long lateNs = 0, wakeAt = 0;
    while (!stop && nowNs() < endNs) {
        long long t = nowNs();
        if (wakeAt > 0 && t > wakeAt) lateNs += ((t - wakeAt) - lateNs) / 16;
        wakeAt = 0;
        while (tail != head && due[tail % RING] <= t + 10000) {
            nfq_set_verdict(qh, ids[tail % RING], NF_ACCEPT, 0, NULL);
            ++tail;
        }
        struct timespec wait = {0, 50000000};
        if (tail != head) {
            long long left = due[tail % RING] - t - lateNs;
            if (left < 0) left = 0;
            wakeAt = t + left;
            wait.tv_sec = left / 1000000000LL;
            wait.tv_nsec = left % 1000000000LL;
        }
        struct pollfd p = {fd, POLLIN, 0};
        int r = ppoll(&p, 1, &wait, NULL);
        if (r > 0) {
            for (int k = 0; k < 256; ++k) {
                int n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n >= 0) nfq_handle_packet(h, buf, n);
                else {
                    if (errno == ENOBUFS) ++enobufs;
                    break;
                }
            }
        }
    }
    while (tail != head) {
        nfq_set_verdict(qh, ids[tail % RING], NF_ACCEPT, 0, NULL);
        ++tail;
    }
    fprintf(stdout, "usdelay: held %llu packets (at most %llu at a time), passed %llu at once, %llu ENOBUFS, "
            "wake-up lateness %lld us\n", held, maxHeld, passedAtOnce, enobufs, lateNs / 1000);
    nfq_destroy_queue(qh);
    nfq_close(h);
    return 0;
}
