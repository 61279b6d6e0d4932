// One numbered stream through an IRC network, fast enough not to be the bottleneck it measures:
// a sender pipelines PRIVMSG lines 1..N to a nick or a channel, every receiver checks that each
// number comes once and in order, and one JSON line tells what happened. bench/link-bench runs it
// for its throughput workloads on quorvel and ngircd alike.
//
//   link_stream --target T --messages N [--window W] [--budget S] [--quiet S] SENDER RECEIVER...
//
// An endpoint is NICK@HOST:PORT, or NICK@HOST:PORT/NETNS to open its socket inside the network
// namespace /run/netns/NETNS (needs CAP_SYS_ADMIN): a socket keeps the namespace it was made in,
// so one process holds the clients of every machine.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr double SETUP_SECONDS = 10;  // to connect, register and join, per client
constexpr double REACH_SECONDS = 30;  // until the sender's probe reaches a receiver
constexpr double PROBE_GAP = 0.5;
constexpr double DRAIN_SECONDS = 30;  // after the last send, however busy the receivers still are
constexpr double WINDOW_SECONDS = 0.25;
constexpr long WINDOW_FLOOR = 16;
constexpr long BATCH = 2048;            // lines queued at once
constexpr size_t QUEUE_BYTES = 65536;   // no more lines queued while this much waits for the socket
constexpr size_t READ_BYTES = 1 << 18;

double now()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// What this process has spent on the CPU so far, user and system: against the stream's wall time,
// how near the client itself is to being the limit.
double cpuSeconds()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

[[noreturn]] void fail(const std::string &why)
{
    std::string text;
    for (char c : why)
        if (c == '"' || c == '\\')
            text += '\\', text += c;
        else if (static_cast<unsigned char>(c) >= 0x20)
            text += c;
    std::printf("{\"error\": \"%s\"}\n", text.c_str());
    std::exit(2);
}

struct Endpoint {
    std::string nick, host, netns;
    int port = 0;
};

Endpoint parseEndpoint(std::string_view text)
{
    Endpoint e;
    size_t at = text.find('@');
    size_t colon = text.rfind(':');
    size_t slash = text.find('/', colon == std::string_view::npos ? 0 : colon);
    if (at == std::string_view::npos || colon == std::string_view::npos || colon < at)
        fail("an endpoint is NICK@HOST:PORT[/NETNS], not " + std::string(text));
    e.nick = text.substr(0, at);
    e.host = text.substr(at + 1, colon - at - 1);
    std::string_view port = text.substr(colon + 1, slash == std::string_view::npos ? text.npos : slash - colon - 1);
    if (slash != std::string_view::npos)
        e.netns = text.substr(slash + 1);
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), e.port);
    if (e.nick.empty() || ec != std::errc() || end != port.data() + port.size() || e.port < 1 || e.port > 65535)
        fail("an endpoint is NICK@HOST:PORT[/NETNS], not " + std::string(text));
    return e;
}

// The socket is made inside the endpoint's namespace; the process goes back to its own after.
int connectTo(const Endpoint &e)
{
    int home = -1;
    if (!e.netns.empty()) {
        home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int ns = open(("/run/netns/" + e.netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (home < 0 || ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            fail("cannot enter the network namespace " + e.netns + ": " + std::strerror(errno));
        close(ns);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(e.port));
    if (inet_pton(AF_INET, e.host.c_str(), &sa.sin_addr) != 1)
        fail("not an IPv4 address: " + e.host);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{int(SETUP_SECONDS), 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);  // bounds the connect
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
        fail(e.nick + ": cannot connect to " + e.host + ":" + std::to_string(e.port) + ": " + std::strerror(errno));
    if (home >= 0) {
        if (setns(home, CLONE_NEWNET) != 0)
            fail(std::string("cannot return to the first network namespace: ") + std::strerror(errno));
        close(home);
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct Conn {
    Endpoint at;
    int fd = -1;
    std::string in;       // a partial line
    std::string out;      // what the socket has not taken yet
    size_t outDone = 0;
    bool closed = false;

    // Queues and sends what the socket takes now; false once the connection is gone.
    bool send(std::string_view text = {})
    {
        out.append(text);
        while (!closed && outDone < out.size()) {
            ssize_t n = ::send(fd, out.data() + outDone, out.size() - outDone, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                outDone += size_t(n);
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            else
                closed = true;
        }
        if (outDone == out.size() || outDone > (1u << 20)) {
            out.erase(0, outDone);
            outDone = 0;
        }
        return !closed;
    }
    size_t queued() const { return out.size() - outDone; }

    // One read's complete lines, each without its CR LF, to fn; PINGs answered. False when closed.
    bool read(const std::function<void(std::string_view)> &fn)
    {
        char buf[READ_BYTES];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0) {
            closed = true;
            return false;
        }
        std::string_view data(buf, size_t(n));
        size_t start = 0;
        if (!in.empty()) {
            size_t nl = data.find('\n');
            if (nl == data.npos) {
                in.append(data);
                return true;
            }
            in.append(data.substr(0, nl + 1));
            line(in, fn);
            in.clear();
            start = nl + 1;
        }
        for (size_t nl; (nl = data.find('\n', start)) != data.npos; start = nl + 1)
            line(data.substr(start, nl + 1 - start), fn);
        in.append(data.substr(start));
        return true;
    }

    void line(std::string_view l, const std::function<void(std::string_view)> &fn)
    {
        l.remove_suffix(l.size() >= 2 && l[l.size() - 2] == '\r' ? 2 : 1);
        if (l.substr(0, 5) == "PING ")
            send("PONG " + std::string(l.substr(5)) + "\r\n");
        else
            fn(l);
    }

    // Reads until fn says stop or the deadline passes; false on the deadline or a close.
    bool until(double deadline, const std::function<bool(std::string_view)> &fn)
    {
        bool done = false;
        while (!done && !closed) {
            double left = deadline - now();
            pollfd p{fd, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, int(left * 1000) + 1) < 0)
                return false;
            if (p.revents)
                read([&](std::string_view l) { done = done || fn(l); });
        }
        return done;
    }
};

bool has(std::string_view line, std::string_view part) { return line.find(part) != line.npos; }

std::string_view word(std::string_view line, int index)
{
    for (int i = 0; i < index; i++) {
        size_t sp = line.find(' ');
        line = sp == line.npos ? std::string_view() : line.substr(sp + 1);
    }
    return line.substr(0, line.find(' '));
}

// Registers and, for a channel, joins: what the network answers when it is ready for the client.
void setUp(Conn &c, std::string_view target)
{
    double deadline = now() + SETUP_SECONDS;
    std::string why;
    c.send("NICK " + c.at.nick + "\r\nUSER " + c.at.nick + " 0 * :" + c.at.nick + "\r\n");
    bool ok = c.until(deadline, [&](std::string_view l) {
        std::string_view code = word(l, 1);
        if (code == "433" || code == "432" || word(l, 0) == "ERROR")
            why = std::string(l);
        return code == "376" || code == "422" || !why.empty();
    });
    if (!ok || !why.empty())
        fail(c.at.nick + " was not registered" + (why.empty() ? "" : ": " + why));
    if (target[0] != '#')
        return;
    c.send("JOIN " + std::string(target) + "\r\n");
    if (!c.until(deadline, [](std::string_view l) { return word(l, 1) == "366"; }))
        fail(c.at.nick + " did not get into " + std::string(target));
}

bool fromSender(std::string_view line, std::string_view nick)
{
    return line.size() > nick.size() + 1 && line[0] == ':' && line.substr(1, nick.size()) == nick &&
           (line[nick.size() + 1] == '!' || line[nick.size() + 1] == ' ');
}

// Probes until one reaches the receiver: a route across new nicks can take a moment to stand.
// Probes still on their way when the stream starts are told apart from its numbers by their text.
void reach(Conn &sender, Conn &receiver, const std::string &target)
{
    double deadline = now() + REACH_SECONDS;
    for (int k = 0; now() < deadline; k++) {
        sender.send("PRIVMSG " + target + " :probe " + std::to_string(k) + "\r\n");
        bool heard = receiver.until(std::min(deadline, now() + PROBE_GAP), [&](std::string_view l) {
            return fromSender(l, sender.at.nick) && has(l, " :probe ");
        });
        if (heard)
            return;
        pollfd p{sender.fd, POLLIN, 0};
        while (poll(&p, 1, 0) > 0 && sender.read([](std::string_view) {}))
            ;  // the 401s of probes sent before the route stood
        if (sender.closed || receiver.closed)
            break;
    }
    fail(sender.at.nick + " never reached " + receiver.at.nick + " within " + std::to_string(int(REACH_SECONDS)) +
         " s");
}

struct Count {
    std::vector<uint8_t> seen;
    long got = 0, dup = 0, late = 0, mangled = 0, high = 0;
    long firstLate = 0, firstLateAfter = 0;
    double last = 0;

    void number(std::string_view text, double t)
    {
        long n = 0;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n >= long(seen.size())) {
            if (text.substr(0, 6) != "probe ")
                mangled++;
            return;
        }
        if (seen[size_t(n)]) {
            dup++;
            return;
        }
        seen[size_t(n)] = 1;
        got++;
        last = t;
        if (n < high && !late++)
            firstLate = n, firstLateAfter = high;
        high = std::max(high, n);
    }
};

struct Options {
    std::string target;
    long messages = 0, window = 16384;
    double budget = 10, quiet = 3;
    std::vector<Endpoint> ends;
};

Options parseArgs(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string_view a = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc)
                fail(std::string(a) + " needs a value");
            return argv[++i];
        };
        auto number = [&](double lo, double hi) {
            std::string v(value());
            char *end = nullptr;
            double d = std::strtod(v.c_str(), &end);
            if (v.empty() || *end || !(d >= lo && d <= hi))
                fail(std::string(a) + " takes " + std::to_string(lo) + " to " + std::to_string(hi) + ", not " + v);
            return d;
        };
        if (a == "--target")
            o.target = value();
        else if (a == "--messages")
            o.messages = long(number(1, 1e8));
        else if (a == "--window")
            o.window = long(number(1, 1e7));
        else if (a == "--budget")
            o.budget = number(0.01, 3600);
        else if (a == "--quiet")
            o.quiet = number(0.1, 600);
        else if (a.substr(0, 2) == "--")
            fail("unknown option " + std::string(a));
        else
            o.ends.push_back(parseEndpoint(a));
    }
    if (o.target.empty() || o.target.find_first_of(" \r\n") != o.target.npos || !o.messages || o.ends.size() < 2)
        fail("usage: link_stream --target NICK|#CHANNEL --messages N [--window W] [--budget S] [--quiet S] "
             "SENDER RECEIVER... (each NICK@HOST:PORT[/NETNS])");
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o = parseArgs(argc, argv);
    double t0 = now();
    std::vector<Conn> conns(o.ends.size());
    for (size_t i = 0; i < conns.size(); i++) {
        conns[i].at = o.ends[i];
        conns[i].fd = connectTo(o.ends[i]);
    }
    for (Conn &c : conns)
        setUp(c, o.target);
    Conn &sender = conns[0];
    for (size_t i = 1; i < conns.size(); i++)
        reach(sender, conns[i], o.target);

    std::vector<Count> counts(conns.size() - 1);
    for (Count &c : counts)
        c.seen.assign(size_t(o.messages) + 1, 0);
    std::vector<pollfd> fds;
    for (Conn &c : conns)
        fds.push_back({c.fd, POLLIN, 0});
    std::map<std::string, long> kinds;
    long sent = 0, told = 0;
    std::string closed;
    std::deque<std::pair<double, long>> recent;
    double cpuStart = cpuSeconds();
    double start = now(), first = 0, activity = start, doneSending = 0;
    double sendEnd = start + o.budget;
    const std::string head = "PRIVMSG " + o.target + " :";
    std::string batch;
    recent.emplace_back(start, 0);

    auto onSender = [&](std::string_view l) {
        std::string_view code = word(l, 1);
        if (code == "401" || code == "404" || code == "437" || (code == "NOTICE" && has(l, o.target))) {
            told++;
            kinds[std::string(code)]++;
        }
    };
    for (double t = start; t < start + o.budget + DRAIN_SECONDS + o.quiet + 5; t = now()) {
        long delivered = counts[0].got;
        for (const Count &c : counts)
            delivered = std::min(delivered, c.got);
        if (!doneSending && (sent >= o.messages || t >= sendEnd || !closed.empty()))
            doneSending = t;
        if (!doneSending && sender.queued() < QUEUE_BYTES) {
            // In flight: 16 lines plus twice what arrived in the last quarter second, so a fast
            // path opens up like TCP's slow start and a slow one holds only a short tail when the
            // budget ends.
            while (recent.size() > 1 && recent.front().first < t - WINDOW_SECONDS)
                recent.pop_front();
            if (t - recent.back().first >= 0.01)
                recent.emplace_back(t, delivered + told);
            long limit = std::min(o.window, WINDOW_FLOOR + 2 * (delivered + told - recent.front().second));
            long room = std::min({limit - (sent - delivered - told), o.messages - sent, BATCH});
            if (room > 0) {
                batch.clear();
                char digits[24];
                for (long k = sent + 1; k <= sent + room; k++) {
                    char *end = std::to_chars(digits, digits + sizeof digits, k).ptr;
                    batch.append(head).append(digits, end).append("\r\n");
                }
                sent += room;
                first = first ? first : t;
                sender.send(batch);
            }
        }
        if (sender.queued())
            sender.send();
        if (sender.closed && closed.empty())
            closed = "the server closed " + sender.at.nick;
        if (doneSending && !sender.queued() &&
            (delivered + told >= sent || t - activity > o.quiet || t - doneSending > DRAIN_SECONDS || !closed.empty()))
            break;
        for (size_t i = 0; i < fds.size(); i++)
            fds[i].events = conns[i].closed ? 0 : short(POLLIN | (conns[i].queued() ? POLLOUT : 0));
        int wait = sender.queued() || doneSending ? 50 : 5;
        if (poll(fds.data(), fds.size(), wait) < 0 && errno != EINTR)
            fail(std::string("poll: ") + std::strerror(errno));
        double arrived = now();
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            bool open;
            if (i == 0) {
                open = sender.read(onSender);
            } else {
                Count &c = counts[i - 1];
                std::string_view nick = sender.at.nick;
                open = conns[i].read([&](std::string_view l) {
                    if (!fromSender(l, nick))
                        return;
                    size_t colon = l.rfind(" :");
                    if (colon == l.npos)
                        c.mangled++;
                    else
                        c.number(l.substr(colon + 2), arrived);
                });
            }
            if (!open && closed.empty())
                closed = "the server closed " + conns[i].at.nick;
            activity = arrived;
        }
    }
    double cpu = cpuSeconds() - cpuStart, streamed = now() - start;
    for (Conn &c : conns) {
        c.send("QUIT\r\n");
        close(c.fd);
    }

    long delivered = counts[0].got;
    double last = 0;
    for (const Count &c : counts)
        delivered = std::min(delivered, c.got), last = std::max(last, c.last);
    double seconds = first && last > first ? last - first : 0;
    std::printf("{\"sent\": %ld, \"n_max\": %ld, \"delivered\": %ld, \"told\": %ld, \"kinds\": {", sent, o.messages,
                delivered, told);
    const char *sep = "";
    for (auto &[k, n] : kinds)
        std::printf("%s\"%s\": %ld", sep, k.c_str(), n), sep = ", ";
    std::printf("}, \"receivers\": [");
    sep = "";
    for (size_t i = 0; i < counts.size(); i++) {
        const Count &c = counts[i];
        std::printf("%s{\"nick\": \"%s\", \"got\": %ld, \"missing\": %ld, \"dup\": %ld, \"late\": %ld, "
                    "\"mangled\": %ld, \"first_late\": [%ld, %ld]}",
                    sep, conns[i + 1].at.nick.c_str(), c.got, std::max(0L, sent - c.got - told), c.dup, c.late,
                    c.mangled, c.firstLate, c.firstLateAfter);
        sep = ", ";
    }
    std::printf("], \"first_send\": %.6f, \"last_receipt\": %.6f, \"seconds\": %.6f, \"rate\": %.1f, "
                "\"capped\": %s, \"setup_seconds\": %.3f, \"client_cpu\": %.3f, \"closed\": \"%s\"}\n",
                first ? first - t0 : 0.0, last ? last - t0 : 0.0, seconds, seconds ? delivered / seconds : 0.0,
                sent < o.messages ? "true" : "false", start - t0, streamed > 0 ? cpu / streamed : 0.0, closed.c_str());
    return 0;
}
