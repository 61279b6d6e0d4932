// A network of three machines on one host: three network namespaces, each running one node and its
// daemon through the launcher with --only, all reading one file. Nodes 1 and 2, and 2 and 3, meet
// on a bridge; 1 and 3 have a veth pair of their own, so the file's triangle is three real links,
// and taking that interface down makes 1 and 3 talk through 2.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/launcher.h"

using namespace qtest;

namespace {

constexpr int MACHINES = 3;
constexpr uint16_t IRC_PORT = 6667;
// A launcher with SIGINT ignored says how to stop it instead of Ctrl-C.
const std::string UP_LINE = "(SIGTERM) stops the network.";
const std::string DIR_LINE = "quorvel-net: config and logs in ";

// A node's address, on its namespace's loopback: it stays up whichever link goes down.
std::string nodeAddress(int id) { return "198.18.255." + std::to_string(id); }

// The namespaces and their links, made at construction and removed with everything in them.
class Machines {
public:
    Machines() : prefix_("qv" + std::to_string(getpid()) + "-"), log_("/tmp/" + prefix_ + "ip.log")
    {
        if (geteuid() != 0) { refused_ = "not root"; return; }
        if (!ip("netns add " + name(0))) { refused_ = "ip netns add failed (see " + log_ + ")"; return; }
        made_ = 1;
        for (int i = 1; i <= MACHINES; ++i, ++made_)
            if (!ip("netns add " + name(i))) { refused_ = "ip netns add failed"; return; }
        const std::string sw = " -n " + name(0) + " ";
        bool ok = ip(sw + "link add br0 type bridge") && ip(sw + "link set br0 up");
        for (int i = 1; i <= MACHINES && ok; ++i) {
            const std::string in = " -n " + name(i) + " ", n = std::to_string(i);
            ok = ip(in + "link set lo up") && ip(in + "addr add " + nodeAddress(i) + "/32 dev lo") &&
                 ip(in + "link add lan type veth peer name port" + n + " netns " + name(0)) &&
                 ip(sw + "link set port" + n + " master br0 up") && ip(in + "link set lan up") &&
                 ip(in + "addr add 198.18.0." + n + "/24 dev lan");
        }
        const std::string one = " -n " + name(1) + " ", two = " -n " + name(2) + " ", three = " -n " + name(3) + " ";
        ok = ok && ip(one + "link add direct type veth peer name direct netns " + name(3)) &&
             ip(one + "addr add 198.18.1.1/24 dev direct") && ip(three + "addr add 198.18.1.3/24 dev direct") &&
             ip(one + "link set direct up") && ip(three + "link set direct up") &&
             // No namespace forwards, so a route that goes down is not mended below the daemons.
             ip(one + "route add " + nodeAddress(2) + " via 198.18.0.2") &&
             ip(one + "route add " + nodeAddress(3) + " via 198.18.1.3") &&
             ip(two + "route add " + nodeAddress(1) + " via 198.18.0.1") &&
             ip(two + "route add " + nodeAddress(3) + " via 198.18.0.3") &&
             ip(three + "route add " + nodeAddress(1) + " via 198.18.1.1") &&
             ip(three + "route add " + nodeAddress(2) + " via 198.18.0.2");
        if (!ok) failed_ = "setting up the links failed; ip said:\n" + slurp(log_);
    }
    ~Machines()
    {
        for (int i = made_ - 1; i >= 0; --i) (void)ip("netns del " + name(i));
        unlink(log_.c_str());
    }
    Machines(const Machines &) = delete;
    Machines &operator=(const Machines &) = delete;

    const std::string &refused() const { return refused_; }
    const std::string &failed() const { return failed_; }
    std::string name(int i) const { return prefix_ + (i == 0 ? "switch" : "m" + std::to_string(i)); }
    bool ip(const std::string &args) const { return std::system(("ip " + args + " >>" + log_ + " 2>&1").c_str()) == 0; }

    // A TCP connection made from inside machine i: a socket belongs to the namespace it was made
    // in, so a thread of its own enters the namespace and makes it, and this thread stays put.
    int connectFrom(int i, const std::string &address, uint16_t port) const
    {
        int fd = -1;
        std::thread([&] {
            const int ns = open(("/run/netns/" + name(i)).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0) return;
            if (setns(ns, CLONE_NEWNET) == 0) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            close(ns);
        }).join();
        if (fd < 0) return -1;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        if (connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

private:
    std::string prefix_, log_, refused_, failed_;
    int made_ = 0;
};

std::string logDir(const std::string &out)
{
    const size_t at = out.find(DIR_LINE);
    if (at == std::string::npos) return "";
    return out.substr(at + DIR_LINE.size(), out.find('\n', at) - at - DIR_LINE.size());
}

void joinChannel(Client &c, const std::string &chan)
{
    c.say("JOIN " + chan);
    EXPECT_EQ(c.sock.readLine(), joinLine(c.nick, chan)) << c.nick;
    EXPECT_EQ(c.sock.readLine(), namesLine(c.nick, chan, c.nick)) << c.nick;
    EXPECT_EQ(c.sock.readLine(), namesEnd(c.nick, chan)) << c.nick;
}

}  // namespace

TEST(Machines, TriangleCarriesMessagesAndHealsTheOtherWayWhenALinkGoesDown)
{
    Machines machines;
    if (!machines.refused().empty())
        GTEST_SKIP() << "skipped: network namespaces are refused here (" << machines.refused() << ")";
    ASSERT_EQ(machines.failed(), "");

    char dir[] = "/tmp/quorvel-machines-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string conf = std::string(dir) + "/network.conf", key = std::string(dir) + "/network.key";
    {
        std::ofstream file(conf);
        for (int i = 1; i <= MACHINES; ++i) {
            file << i << " " << nodeAddress(i) << " 7001 7002 " << IRC_PORT;
            for (int j = 1; j <= MACHINES; ++j) if (j != i) file << " " << j;
            file << "\n";
        }
        std::ofstream(key) << "a key that every machine shares, 45 bytes long";
    }

    // Each machine starts only its own node, as a script would: in the background, where SIGINT
    // is ignored, so SIGTERM is what stops it.
    std::vector<std::unique_ptr<Launcher>> launchers;
    for (int i = 1; i <= MACHINES; ++i) {
        launchers.push_back(std::make_unique<Launcher>());
        launchers.back()->start({"--config", conf, "--only", std::to_string(i), "--key", key, "--cycle", "1",
                                 "--verbose", "--exact", "--build-dir", buildDir()},
                                {"ip", "netns", "exec", machines.name(i)}, true);
    }
    for (int i = 1; i <= MACHINES; ++i) {
        Launcher &l = *launchers[i - 1];
        ASSERT_TRUE(l.waitForOutput(UP_LINE, Millis(15000))) << "machine " << i << ":\n" << l.out();
        EXPECT_TRUE(someLineHasAll(l.out(), {"node " + std::to_string(i) + " ", nodeAddress(i)})) << l.out();
        EXPECT_TRUE(someLineHasAll(l.out(), {"SIGINT is ignored here", "kill " + std::to_string(l.pid())})) << l.out();
        EXPECT_TRUE(someLineHasAll(l.out(), {"starting 1 node(s)"})) << l.out();
    }
    const std::string middleLog = logDir(launchers[1]->out()) + "/quorvel-2.log";

    Client alice(LineSocket(machines.connectFrom(1, nodeAddress(1), IRC_PORT)), "alice");
    Client bob(LineSocket(machines.connectFrom(2, nodeAddress(2), IRC_PORT)), "bob");
    Client carol(LineSocket(machines.connectFrom(3, nodeAddress(3), IRC_PORT)), "carol");
    ASSERT_TRUE(alice.sock.valid() && bob.sock.valid() && carol.sock.valid());
    for (Client *c : {&alice, &bob, &carol}) ASSERT_TRUE(signOn(*c)) << c->nick;

    // Copies sent before the routes stood may have been refused; nothing else reaches the senders.
    EXPECT_NE(sendUntilArrives(alice, bob, "bob", "hello"), 0) << "nothing reached bob";
    expectOnlyRefusals(alice, "bob", Millis(300));
    EXPECT_NE(sendUntilArrives(bob, carol, "carol", "hello"), 0) << "nothing reached carol";
    expectOnlyRefusals(bob, "carol", Millis(300));
    // Before the cut, alice reaches carol over their own link: node 2 never sees it.
    EXPECT_NE(sendUntilArrives(alice, carol, "carol", "direct"), 0) << "nothing reached carol";
    expectOnlyRefusals(alice, "carol", Millis(300));
    EXPECT_EQ(slurp(middleLog).find("PRIVMSG carol direct"), std::string::npos) << middleLog;
    for (Client *c : {&alice, &bob, &carol}) joinChannel(*c, "#tri");
    EXPECT_NE(sendUntilArrives(alice, carol, "#tri", "round"), 0) << "no channel message reached carol";
    bob.sock.drain(Millis(1000));
    carol.sock.drain(Millis(1));
    // With the routes in place, one channel message reaches each other machine once.
    alice.say("PRIVMSG #tri :to all three");
    for (Client *c : {&bob, &carol}) {
        EXPECT_EQ(c->sock.readLine(Millis(3000)), privmsgLine("alice", "#tri", "to all three")) << c->nick;
        EXPECT_EQ(c->sock.drain(Millis(500)), "") << c->nick;
    }

    // The direct link between 1 and 3 goes down: once the daemons give it up, alice's messages
    // for carol go round by node 2, the only way left.
    ASSERT_TRUE(machines.ip("-n " + machines.name(1) + " link set direct down"));
    const int around = sendUntilArrives(alice, carol, "carol", "around");
    EXPECT_NE(around, 0) << "nothing reached carol after the cut";
    EXPECT_NE(slurp(middleLog).find("FORWARD 1 :alice PRIVMSG carol around " + std::to_string(around) + "\n"),
              std::string::npos)
        << middleLog;

    // The logs go with the launchers, so they are shown before the stop.
    if (HasFailure())
        for (int i = 1; i <= MACHINES; ++i) {
            const std::string d = logDir(launchers[i - 1]->out());
            std::cerr << "--- machine " << i << ":\n" << launchers[i - 1]->out();
            for (const char *what : {"routed", "quorvel"})
                std::cerr << "--- " << what << "-" << i << ".log:\n"
                          << slurp(d + "/" + what + "-" + std::to_string(i) + ".log").substr(0, 3000);
        }
    for (auto &l : launchers) EXPECT_EQ(kill(l->pid(), SIGTERM), 0);
    for (int i = 1; i <= MACHINES; ++i)
        EXPECT_EQ(launchers[i - 1]->waitForExit(Millis(5000)), std::optional<int>(0)) << launchers[i - 1]->out();
    unlink(conf.c_str());
    unlink(key.c_str());
    rmdir(dir);
}
