// quorvel-bench: starts a line of three quorvel nodes beside the tests' fake routing daemons on
// 127.0.0.1, drives them with IRC clients, checks every message and prints one figure a line.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bench_nodes.h"
#include "bench_streams.h"
#include "support/irc_client.h"

namespace qbench {
namespace {

using qtest::LineSocket;

constexpr int NODE_COUNT = 3;
constexpr Millis STEP_TIMEOUT(2000);  // one registration, one join, one message

struct Options {
    std::string binary;
    bool quick = false;
    long messages = 1000000;
    long roundTrips = 10000;
    long fanout = 200000;
    long registrations = 3000;
    long forwards = 1000;
    long window = 0;  // 0: the direct stream is not held back
    // Seconds of sending (or measuring) that each figure may take at most.
    double throughputSeconds = 6, latencySeconds = 4, fanoutSeconds = 6, registrationSeconds = 4,
           forwardSeconds = 6;
};

void usage(FILE *to)
{
    std::fprintf(to,
                 "usage: quorvel-bench [--binary PATH] [--quick] [--messages N] [--roundtrips N]\n"
                 "                     [--fanout N] [--registrations N] [--forwards N] [--window N]\n"
                 "  --binary PATH      the quorvel server to measure (default: the one built beside this)\n"
                 "  --quick            about ten times fewer iterations and shorter time caps (a smoke run)\n"
                 "  --messages N       direct PRIVMSG lines from a to b (default 1000000)\n"
                 "  --roundtrips N     PRIVMSG round trips a -> b -> a (default 10000)\n"
                 "  --fanout N         lines a sends to #bench, each checked at b, c and d (default 200000)\n"
                 "  --registrations N  connect, NICK, USER, 376, QUIT cycles (default 3000)\n"
                 "  --forwards N       messages to each of: same node, 1 hop, 2 hops (default 1000, max 5000)\n"
                 "  --window N         at most N lines in flight, a to b and a to #bench (default 0: unbounded)\n");
}

bool parseCount(const char *text, long low, long high, long &out)
{
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || !end || *end != '\0' || end == text || v < low || v > high) return false;
    out = v;
    return true;
}

bool parseOptions(int argc, char **argv, Options &o)
{
#ifdef QUORVEL_BINARY
    o.binary = QUORVEL_BINARY;
#endif
    long messages = -1, roundTrips = -1, fanout = -1, registrations = -1, forwards = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](long low, long high, long &out) {
            if (i + 1 >= argc || !parseCount(argv[i + 1], low, high, out)) {
                std::fprintf(stderr, "quorvel-bench: %s needs a number from %ld to %ld\n", arg.c_str(), low, high);
                return false;
            }
            ++i;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            std::exit(0);
        } else if (arg == "--quick") {
            o.quick = true;
        } else if (arg == "--binary") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "quorvel-bench: --binary needs a path\n");
                return false;
            }
            o.binary = argv[++i];
        } else if (arg == "--messages") {
            if (!value(1, 10000000, messages)) return false;
        } else if (arg == "--roundtrips") {
            if (!value(1, 1000000, roundTrips)) return false;
        } else if (arg == "--fanout") {
            if (!value(1, 10000000, fanout)) return false;
        } else if (arg == "--registrations") {
            if (!value(1, 20000, registrations)) return false;
        } else if (arg == "--forwards") {
            // Each forwarded message leaves a socket in TIME_WAIT per hop.
            if (!value(1, 5000, forwards)) return false;
        } else if (arg == "--window") {
            if (!value(0, 10000000, o.window)) return false;
        } else {
            std::fprintf(stderr, "quorvel-bench: unknown argument %s\n", arg.c_str());
            usage(stderr);
            return false;
        }
    }
    if (o.quick) {
        for (long *count : {&o.messages, &o.roundTrips, &o.fanout, &o.registrations, &o.forwards}) *count /= 10;
        o.throughputSeconds = 2;
        o.latencySeconds = 1;
        o.fanoutSeconds = 2;
        o.registrationSeconds = 1;
        o.forwardSeconds = 2;
    }
    if (messages > 0) o.messages = messages;
    if (roundTrips > 0) o.roundTrips = roundTrips;
    if (fanout > 0) o.fanout = fanout;
    if (registrations > 0) o.registrations = registrations;
    if (forwards > 0) o.forwards = forwards;
    if (o.binary.empty()) {
        std::fprintf(stderr, "quorvel-bench: no server binary known; pass --binary PATH\n");
        return false;
    }
    if (access(o.binary.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "quorvel-bench: %s is not an executable file\n", o.binary.c_str());
        return false;
    }
    return true;
}

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

Clock::time_point stepDeadline() { return Clock::now() + STEP_TIMEOUT; }

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

double microsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

double percentile(std::vector<double> v, double q)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(std::llround(q * static_cast<double>(v.size() - 1)));
    return v[std::min(i, v.size() - 1)];
}

std::string oneLine(std::string s, size_t max = 300)
{
    for (char &c : s)
        if (c == '\r' || c == '\n') c = ' ';
    return s.size() > max ? s.substr(0, max) + "..." : s;
}

// The report: one line per figure, printed as soon as it is known.
class Report {
public:
    void figure(const char *name, const std::string &value)
    {
        std::printf("%-28s %s\n", name, value.c_str());
        std::fflush(stdout);
    }
    void failed(const char *name, const std::string &why)
    {
        ++failures_;
        std::printf("%-28s FAILED: %s\n", name, oneLine(why, 900).c_str());
        std::fflush(stdout);
    }
    void note(const std::string &text)
    {
        std::printf("%-28s %s\n", "  note:", oneLine(text, 900).c_str());
        std::fflush(stdout);
    }
    int failures() const { return failures_; }

private:
    int failures_ = 0;
};

__attribute__((format(printf, 1, 2))) std::string fmt(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    char buf[64];
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

// Reads lines until this one; false, with what came instead, when it does not come in time.
bool readUntil(Client &c, const std::string &line, std::string *skipped = nullptr)
{
    const auto deadline = stepDeadline();
    for (int lines = 0; lines < 10000 && Clock::now() < deadline; ++lines) {
        const std::string got = c.sock.readLine(std::chrono::duration_cast<Millis>(deadline - Clock::now()));
        if (got == line) return true;
        if (got.empty()) break;
        if (skipped) *skipped += got;
    }
    return false;
}

// A connected client that has just registered; false with the reason otherwise.
bool signOnAt(uint16_t port, const std::string &nick, Client &out, std::string &why)
{
    out = Client(LineSocket::connectTo(port), nick);
    if (!out.sock.valid()) {
        why = "connect refused";
        return false;
    }
    if (qtest::signOn(out)) return true;
    why = out.sock.atEnd() ? "connection closed before the message of the day" : "no message of the day in time";
    return false;
}

// A registered client, and the daemon has heard of it, so routing towards it is already right.
bool joinAs(Network &net, int node, const std::string &nick, Client &out, std::string &why)
{
    if (!signOnAt(net.node(node).ports.server, nick, out, why)) {
        why = nick + " on node " + std::to_string(node) + ": " + why;
        return false;
    }
    if (!net.registry().waitForUser(nick, node, stepDeadline())) {
        why = "node " + std::to_string(node) + " never announced " + nick + " to its daemon";
        return false;
    }
    return true;
}

// QUIT, close, and wait until the node has let the nick go, so its slot is free again.
void leave(Network &net, Client &c)
{
    if (!c.sock.valid()) return;
    c.say("QUIT");
    c.sock.close();
    if (!c.nick.empty()) (void)net.registry().waitForUserGone(c.nick, stepDeadline());
}

bool exchange(Client &from, Client &to, const std::string &text, std::string &why)
{
    if (!from.sock.send("PRIVMSG " + to.nick + " :" + text + "\r\n")) {
        why = "send from " + from.nick + " failed";
        return false;
    }
    const std::string expected = qtest::privmsgLine(from.nick, to.nick, text);
    const std::string line = to.sock.readLine(STEP_TIMEOUT);
    if (line.empty()) {
        why = to.nick + " did not receive \"" + oneLine(expected) + "\"" + (to.sock.atEnd() ? " (connection closed)" : "");
        std::string back = from.sock.drain(Millis(50));
        if (!back.empty()) why += "; " + from.nick + " got: " + back;
        return false;
    }
    if (line != expected) {
        why = to.nick + " got \"" + oneLine(line) + "\" where \"" + oneLine(expected) + "\" was due";
        return false;
    }
    return true;
}

struct StreamOutcome {
    bool ok = false;
    uint64_t sent = 0;
    double seconds = 0;
    std::string why;
    std::string senderGot;  // what the sender, which only sends, received all the same
};

void reportStream(Report &report, const char *name, const StreamOutcome &r, const std::string &figure)
{
    if (r.ok) report.figure(name, figure);
    else report.failed(name, std::to_string(r.sent) + " lines sent; " + r.why);
    if (!r.senderGot.empty()) report.note(r.senderGot);
}

// One writer thread against checking readers on this thread.
StreamOutcome pipeline(Client &sender, std::vector<StreamCheck> &streams, WriterPlan plan,
                       std::atomic<uint64_t> &slowestSeen, double capSeconds)
{
    std::atomic<bool> abort{false};
    std::atomic<uint64_t> finalCount{std::numeric_limits<uint64_t>::max()};
    WriterResult w;
    const int fd = sender.sock.fd();
    std::thread writer([&] {
        runWriter(fd, plan, abort, w);
        finalCount.store(w.sent, std::memory_order_release);
    });
    ReadPlan rp;
    rp.finalCount = &finalCount;
    rp.hardDeadline = after(capSeconds + 5);
    rp.slowestSeen = &slowestSeen;
    StreamOutcome out;
    out.ok = readStreams(streams, rp, out.why);
    abort = true;
    writer.join();
    out.sent = w.sent;
    if (!w.error.empty()) {
        out.ok = false;
        out.why = w.error + (out.why.empty() ? "" : "; " + out.why);
    }
    if (!out.ok) {
        const std::string details = describeStreams(streams, w.sent);
        if (!details.empty()) out.why += (out.why.empty() ? "" : "; ") + details;
    }
    Clock::time_point last = w.firstSend;
    for (const StreamCheck &s : streams) last = std::max(last, s.lastArrival);
    out.seconds = secondsBetween(w.firstSend, last);
    if (w.inboundBytes > 0)
        out.senderGot = sender.nick + " received " + std::to_string(w.inboundBytes) + " bytes while sending: " + w.inbound;
    bool wrongLines = false;
    for (const StreamCheck &s : streams) wrongLines = wrongLines || s.bad > 0;
    if (!out.ok && wrongLines)
        out.why += " (if the node loses pipelined input, --window 16 keeps under 512 bytes in flight)";
    return out;
}

// ---- the figures -------------------------------------------------------------------------------

void directThroughput(const Options &o, Client &a, Client &b, Report &report)
{
    const char *name = "direct throughput:";
    std::vector<StreamCheck> streams(1);
    streams[0].client = &b;
    streams[0].expectPrefix = ":a PRIVMSG b :";
    streams[0].maxSeq = static_cast<uint64_t>(o.messages);
    std::atomic<uint64_t> slowestSeen{0};
    WriterPlan plan;
    plan.linePrefix = "PRIVMSG b :";
    plan.count = static_cast<uint64_t>(o.messages);
    plan.stopSending = after(o.throughputSeconds);
    if (o.window > 0) {
        const uint64_t window = static_cast<uint64_t>(o.window);
        plan.allowedUpTo = [&slowestSeen, window] { return slowestSeen.load(std::memory_order_acquire) + window; };
    }
    StreamOutcome r = pipeline(a, streams, plan, slowestSeen, o.throughputSeconds);
    reportStream(report, name, r,
                 fmt("%.0f msg/s", static_cast<double>(r.sent) / r.seconds) + "  (" + std::to_string(r.sent) +
                     " lines a -> b in " + fmt("%.2f s", r.seconds) + ", every line checked" +
                     (r.sent < plan.count ? ", stopped by the time cap" : "") + ")");
}

void roundTripLatency(const Options &o, Client &a, Client &b, Report &report)
{
    const char *name = "round-trip latency:";
    std::vector<double> micros;
    const auto stop = after(o.latencySeconds);
    std::string why;
    const long warmUp = std::min<long>(50, o.roundTrips / 10);
    for (long i = 0; i < o.roundTrips + warmUp && Clock::now() < stop; ++i) {
        const std::string seq = std::to_string(i);
        const auto t0 = Clock::now();
        if (!exchange(a, b, "ping" + seq, why) || !exchange(b, a, "pong" + seq, why)) {
            report.failed(name, "round trip " + seq + ": " + why);
            return;
        }
        if (i >= warmUp) micros.push_back(microsBetween(t0, Clock::now()));
    }
    report.figure(name, fmt("p50 %.1f us", percentile(micros, 0.5)) + fmt("  p99 %.1f us", percentile(micros, 0.99)) +
                            "  (" + std::to_string(micros.size()) + " round trips a -> b -> a, one at a time)");
}

bool joinChannel(Network &net, std::vector<Client *> &members, Client &c, std::string &why)
{
    if (!c.sock.send("JOIN #bench\r\n")) {
        why = c.nick + " could not send JOIN";
        return false;
    }
    std::string skipped;
    if (!readUntil(c, qtest::namesEnd(c.nick, "#bench"), &skipped)) {
        why = c.nick + " saw no 366 after JOIN #bench (got: " + oneLine(skipped) + ")";
        return false;
    }
    // The earlier members hear of the join; those lines are read now so the stream check starts clean.
    for (Client *m : members) {
        if (!readUntil(*m, qtest::joinLine(c.nick, "#bench"))) {
            why = m->nick + " never saw " + c.nick + " join #bench";
            return false;
        }
    }
    members.push_back(&c);
    if (!net.registry().waitForChannel("#bench", 1, stepDeadline())) {
        why = "node 1 never announced #bench to its daemon";
        return false;
    }
    return true;
}

void channelFanout(const Options &o, Network &net, Client &a, Client &b, Report &report)
{
    const char *name = "channel fan-out:";
    Client c, d;
    std::string why;
    std::vector<Client *> members;
    if (!joinAs(net, 1, "c", c, why) || !joinAs(net, 1, "d", d, why) || !joinChannel(net, members, a, why) ||
        !joinChannel(net, members, b, why) || !joinChannel(net, members, c, why) ||
        !joinChannel(net, members, d, why)) {
        report.failed(name, why);
        leave(net, c);
        leave(net, d);
        return;
    }
    std::vector<StreamCheck> streams(3);
    Client *readers[] = {&b, &c, &d};
    for (size_t i = 0; i < 3; ++i) {
        streams[i].client = readers[i];
        streams[i].expectPrefix = ":a PRIVMSG #bench :";
        streams[i].maxSeq = static_cast<uint64_t>(o.fanout);
    }
    NodeEntry &node1 = net.node(1);
    const uint64_t answersBefore = node1.daemon.answered();
    const uint64_t requestsBefore = node1.requests.load();
    std::atomic<uint64_t> slowestSeen{0};
    // Every channel line waits in the node for its daemon's answer; the node holds 512 such at most.
    constexpr uint64_t DAEMON_WINDOW = 256;
    constexpr uint64_t READER_WINDOW = 4096;
    const uint64_t readerWindow = o.window > 0 ? static_cast<uint64_t>(o.window) : READER_WINDOW;
    WriterPlan plan;
    plan.linePrefix = "PRIVMSG #bench :";
    plan.count = static_cast<uint64_t>(o.fanout);
    plan.stopSending = after(o.fanoutSeconds);
    plan.allowedUpTo = [&] {
        const uint64_t answered = node1.daemon.answered() - answersBefore;
        return std::min(slowestSeen.load(std::memory_order_acquire) + readerWindow, answered + DAEMON_WINDOW);
    };
    StreamOutcome r = pipeline(a, streams, plan, slowestSeen, o.fanoutSeconds);
    // The node asks after it has delivered, so the last requests may still be on their way.
    const auto askDeadline = Clock::now() + Millis(1000);
    for (int polls = 0; polls < 1000 && node1.requests.load() - requestsBefore < r.sent && Clock::now() < askDeadline; ++polls)
        std::this_thread::sleep_for(Millis(1));
    const uint64_t asked = node1.requests.load() - requestsBefore;
    const double rate = static_cast<double>(r.sent) / r.seconds;
    reportStream(report, name, r,
                 fmt("%.0f msg/s", rate) + fmt(" to each of 3 members, %.0f deliveries/s", 3 * rate) + "  (" +
                     std::to_string(r.sent) + " lines a -> #bench in " + fmt("%.2f s", r.seconds) +
                     ", each checked at b, c, d" + (r.sent < plan.count ? ", stopped by the time cap" : "") + ")");
    if (asked != r.sent)
        report.note("node 1 sent its daemon " + std::to_string(asked) + " channel requests for " +
                    std::to_string(r.sent) + " channel lines");
    leave(net, c);
    leave(net, d);
}

void registrations(const Options &o, Network &net, Report &report)
{
    const char *name = "registrations:";
    const auto start = Clock::now();
    const auto stop = after(o.registrationSeconds);
    long done = 0;
    std::string lastNick;
    for (long i = 0; i < o.registrations && Clock::now() < stop; ++i) {
        Client c;
        std::string why;
        lastNick = "r" + std::to_string(i);
        if (!signOnAt(net.node(1).ports.server, lastNick, c, why)) {
            report.failed(name, "registration " + std::to_string(i) + ": " + why);
            return;
        }
        c.say("QUIT");
        c.sock.close();
        ++done;
    }
    const double seconds = secondsBetween(start, Clock::now());
    (void)net.registry().waitForUserGone(lastNick, stepDeadline());
    report.figure(name, fmt("%.0f /s", static_cast<double>(done) / seconds) + "  (" + std::to_string(done) +
                            " connect, NICK, USER, 376, QUIT cycles, one at a time, in " + fmt("%.2f s", seconds) +
                            ")");
}

void nodeMemory(Network &net, Report &report)
{
    std::string text;
    for (int id = 1; id <= net.size(); ++id) {
        const long rss = net.statusField(id, "VmRSS");
        const long peak = net.statusField(id, "VmHWM");
        text += (id > 1 ? ";  " : "") + std::string("node ") + std::to_string(id) + " " + std::to_string(rss) + " kB" +
                " (peak " + std::to_string(peak) + " kB)";
    }
    report.figure("node RSS after the runs:", text);
}

struct HopSeries {
    const char *label;
    Client *target;
    std::vector<double> micros;
};

void forwarding(const Options &o, Network &net, Report &report)
{
    const char *name = "forwarded latency:";
    Client src, local, one, two;
    std::string why;
    if (!joinAs(net, 1, "src", src, why) || !joinAs(net, 1, "loc", local, why) || !joinAs(net, 2, "hop1", one, why) ||
        !joinAs(net, 3, "hop2", two, why)) {
        report.failed(name, why);
    } else {
        HopSeries series[] = {{"same node (0 hops):", &local, {}},
                              {"forwarded 1 hop (1-2):", &one, {}},
                              {"forwarded 2 hops (1-2-3):", &two, {}}};
        const auto stop = after(o.forwardSeconds);
        bool failed = false;
        // Interleaved, so that each series sees the same conditions over the run.
        for (long i = 0; i < o.forwards && !failed && Clock::now() < stop; ++i) {
            for (HopSeries &s : series) {
                const auto t0 = Clock::now();
                if (!exchange(src, *s.target, "f" + std::to_string(i), why)) {
                    report.failed(name, std::string(s.label) + " message " + std::to_string(i) + ": " + why);
                    failed = true;
                    break;
                }
                s.micros.push_back(microsBetween(t0, Clock::now()));
            }
        }
        if (!failed) {
            for (const HopSeries &s : series)
                report.figure(s.label, fmt("p50 %.1f us", percentile(s.micros, 0.5)) +
                                           fmt("  p99 %.1f us", percentile(s.micros, 0.99)) + "  (" +
                                           std::to_string(s.micros.size()) + " messages, one at a time, sent to arrival)");
            const double p0 = percentile(series[0].micros, 0.5);
            const double p1 = percentile(series[1].micros, 0.5);
            const double p2 = percentile(series[2].micros, 0.5);
            report.figure("per hop:", fmt("%.1f us", (p2 - p0) / 2) + "  ((2-hop p50 - same-node p50) / 2;" +
                                          fmt(" second hop alone %.1f us,", p2 - p1) +
                                          fmt(" 2-hop end-to-end / 2 = %.1f us)", p2 / 2));
        }
        std::string back = src.sock.drain(Millis(20));
        if (!back.empty()) report.note("src received: " + back);
    }
    leave(net, src);
    leave(net, local);
    leave(net, one);
    leave(net, two);
}

// One-at-a-time unknown commands, each sent once the last was answered: how long a client of the
// bursting node waits. An invented verb stays unknown, so every answer is a 421.
struct Probe {
    double worstMicros = 0;
    long answered = 0;
    std::string error;
};

void probeUntil(Client &c, const std::atomic<bool> &stop, Probe &out)
{
    const std::string unknown = expected::unknownCommand(qtest::hostName(), "PROBE");
    for (long i = 0; i < 1000000 && !stop.load(); ++i) {
        const auto t0 = Clock::now();
        std::string skipped;
        if (!c.sock.send("PROBE " + std::to_string(i) + "\r\n") || !readUntil(c, unknown, &skipped)) {
            out.error = c.nick + " got no 421 for PROBE " + std::to_string(i) + " (got: " + oneLine(skipped) + ")";
            return;
        }
        out.worstMicros = std::max(out.worstMicros, microsBetween(t0, Clock::now()));
        ++out.answered;
    }
}

// Every client slot of the line taken, then one write of many lines for a user two hops away:
// more than the node's forward queue holds, so node 1 must pace its reading of a without
// keeping its other clients waiting.
void burst(Network &net, Report &report)
{
    const char *name = "burst across two hops:";
    constexpr uint64_t LINES = 1000;
    const char *const nicks[][4] = {{"a", "p", "n1c", "n1d"}, {"n2a", "n2b", "n2c", "n2d"}, {"r", "n3b", "n3c", "n3d"}};
    std::vector<Client> clients(12);
    std::string why;
    bool joined = true;
    for (int node = 1; node <= 3 && joined; ++node)
        for (int k = 0; k < 4 && joined; ++k)
            joined = joinAs(net, node, nicks[node - 1][k], clients[static_cast<size_t>(4 * (node - 1) + k)], why);
    Client &a = clients[0], &p = clients[1], &r = clients[8];
    if (joined) {
        std::string lines;
        for (uint64_t n = 1; n <= LINES; ++n) lines += "PRIVMSG r :" + std::to_string(n) + "\r\n";
        std::vector<StreamCheck> streams(1);
        streams[0].client = &r;
        streams[0].expectPrefix = ":a PRIVMSG r :";
        streams[0].maxSeq = LINES;
        const std::atomic<uint64_t> finalCount{LINES};
        ReadPlan rp;
        rp.finalCount = &finalCount;
        rp.hardDeadline = after(10);
        std::atomic<bool> stop{false};
        Probe probe;
        const auto t0 = Clock::now();
        if (!a.sock.send(lines)) {
            report.failed(name, "the write of " + std::to_string(lines.size()) + " bytes did not complete");
        } else {
            std::thread prober([&] { probeUntil(p, stop, probe); });
            const bool ok = readStreams(streams, rp, why);
            stop = true;
            prober.join();
            const std::string worst = probe.error.empty() ? fmt("%.1f ms", probe.worstMicros / 1000) : probe.error;
            if (ok && probe.error.empty())
                report.figure(name, std::to_string(streams[0].ok) + " of " + std::to_string(LINES) + " in order in " +
                                        fmt("%.1f ms", microsBetween(t0, streams[0].lastArrival) / 1000) +
                                        "; node 1's other clients answered within " + worst + " at worst (" +
                                        std::to_string(probe.answered) + " round trips)");
            else
                report.failed(name, why + (why.empty() ? "" : "; ") + describeStreams(streams, LINES) + "; " + worst);
        }
        std::string back = a.sock.drain(Millis(20));
        if (!back.empty()) report.note("a received: " + back);
    } else {
        report.failed(name, why);
    }
    for (Client &c : clients) leave(net, c);
}

// Reports the first node that ended, once; every later figure is then skipped.
bool nodesAlive(Network &net, Report &report)
{
    static bool reported = false;
    if (reported) return false;
    std::string dead = net.deadNodes();
    if (dead.empty()) return true;
    report.failed("nodes:", dead + " (the remaining figures are skipped)");
    reported = true;
    return false;
}

void noteOddDaemonLines(Network &net, Report &report)
{
    for (int id = 1; id <= net.size(); ++id)
        for (const std::string &line : net.oddLines(id))
            report.note("daemon " + std::to_string(id) + " got an unexpected line: " + line);
}

int run(const Options &o)
{
    std::printf("quorvel-bench: %s run of %s\n", o.quick ? "quick" : "full", o.binary.c_str());
    std::printf("parameters: nodes 1-2-3 on 127.0.0.1, %u cores; messages %ld (cap %.0f s), window %s; round trips %ld "
                "(cap %.0f s); fan-out %ld (cap %.0f s); registrations %ld (cap %.0f s); forwards %ld per series "
                "(cap %.0f s)\n",
                std::thread::hardware_concurrency(), o.messages, o.throughputSeconds,
                o.window > 0 ? std::to_string(o.window).c_str() : "unbounded", o.roundTrips, o.latencySeconds, o.fanout,
                o.fanoutSeconds, o.registrations, o.registrationSeconds, o.forwards, o.forwardSeconds);
    std::fflush(stdout);

    Report report;
    Network net(o.binary, NODE_COUNT);
    std::string why;
    if (!net.start(why)) {
        report.failed("start-up:", why);
        return 1;
    }

    // Fresh clients for every figure, so that one that failed leaves nothing behind for the next.
    auto pair = [&](Client &a, Client &b, const char *figure) {
        if (joinAs(net, 1, "a", a, why) && joinAs(net, 1, "b", b, why)) return true;
        report.failed(figure, why);
        return false;
    };
    {
        Client a, b;
        if (pair(a, b, "direct throughput:")) {
            if (exchange(a, b, "hello", why)) directThroughput(o, a, b, report);
            else report.failed("direct throughput:", "the first PRIVMSG: " + why);
        }
        leave(net, a);
        leave(net, b);
    }
    if (nodesAlive(net, report)) {
        Client a, b;
        if (pair(a, b, "round-trip latency:")) roundTripLatency(o, a, b, report);
        leave(net, a);
        leave(net, b);
    }
    if (nodesAlive(net, report)) {
        Client a, b;
        if (pair(a, b, "channel fan-out:")) channelFanout(o, net, a, b, report);
        leave(net, a);
        leave(net, b);
    }
    if (nodesAlive(net, report)) registrations(o, net, report);
    if (nodesAlive(net, report)) forwarding(o, net, report);
    if (nodesAlive(net, report)) burst(net, report);
    if (nodesAlive(net, report)) nodeMemory(net, report);
    noteOddDaemonLines(net, report);

    if (report.failures() == 0) std::printf("result: every figure measured, every message checked\n");
    else std::printf("result: %d figure(s) FAILED\n", report.failures());
    std::fflush(stdout);
    return report.failures() == 0 ? 0 : 1;
}

}  // namespace
}  // namespace qbench

int main(int argc, char **argv)
{
    qbench::Options options;
    if (!qbench::parseOptions(argc, argv, options)) return 2;
    qbench::installSignalCleanup();
    try {
        return qbench::run(options);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quorvel-bench: %s\n", e.what());
        return 1;
    }
}
