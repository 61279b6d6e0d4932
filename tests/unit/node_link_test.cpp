// Node links, both ends, against a neighbour the test plays by hand: node 2 at a loopback listener
// that the node opens its link to, and node 2 opening its own link to the node over a socketpair.
// The opening in clear and under the key, lines pipelined and acknowledged by count, and what a
// reconnect, a restart, a hand-back, a forgery or a broken line does to them.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/framing.h"
#include "routing/link_crypto.h"
#include "routing/node_link.h"
#include "routing/route_cache.h"
#include "rtlib/rt_key.h"
#include "support/irc_session.h"

namespace {

using namespace irctest;
using Lines = std::vector<std::string>;

constexpr char KEY[] = "0123456789abcdef0123456789abcdef";

void loadKey()
{
    char path[] = "/tmp/quorvel-node-link-key-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, KEY, sizeof KEY - 1), static_cast<ssize_t>(sizeof KEY - 1));
    ::close(fd);
    EXPECT_TRUE(rt_load_key("test", path));
    ::unlink(path);
}

// One pass of the loop for both forwarding and the links.
void pump()
{
    beginWatching();
    const Poller pollers[] = {forwardingPoller(), linkPoller()};
    for (const Poller &p : pollers) p.beforeWait();
    (void)waitReady(1);
    for (const Poller &p : pollers) p.afterWait();
}

void pumpFor(int rounds)
{
    while (rounds-- > 0) pump();
}

std::string nonceHex()
{
    unsigned char nonce[LINK_NONCE_SIZE];
    linkFreshNonce(nonce);
    char hex[LINK_NONCE_HEX + 1];
    linkHex(nonce, sizeof nonce, hex);
    return hex;
}

std::string proofOf(LinkRole role, const std::string &transcript)
{
    if (!rt_key_loaded()) return "-";
    char hex[LINK_PROOF_HEX + 1];
    linkProof(role, transcript.data(), transcript.size(), hex);
    return hex;
}

std::vector<std::string> words(const std::string &line)
{
    std::vector<std::string> w;
    for (size_t at = 0; at < line.size();) {
        const size_t end = std::min(line.find(' ', at), line.size());
        w.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return w;
}

// Node 2's end of one link: clear lines, then, under the key, sealed frames once the opening is over.
class FarEnd {
public:
    FarEnd() = default;
    FarEnd(const FarEnd &) = delete;
    FarEnd &operator=(const FarEnd &) = delete;
    ~FarEnd() { take(-1); }
    // A connection of its own from now on, with nothing read or sealed yet.
    void take(int fd)
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
        sealed_ = ended_ = false;
        raw_.clear();
        plain_.clear();
    }

    void send(const Lines &lines) { sendRaw(sealed_ ? sealedFrame(lines) : joined(lines)); }
    std::string sealedFrame(const Lines &lines)
    {
        const std::string bytes = joined(lines);
        unsigned char frame[LINK_FRAME_MAX];
        return std::string(reinterpret_cast<char *>(frame), linkSeal(cipher_, bytes.data(), bytes.size(), frame));
    }
    static std::string joined(const Lines &lines)
    {
        std::string bytes;
        for (const std::string &l : lines) bytes += l + "\r\n";
        return bytes;
    }
    void sendRaw(const std::string &bytes)
    {
        EXPECT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // Lines until `count` came or `rounds` passes of the node went by (a millisecond or more
    // each); "EOF" ends the list once the node closed.
    Lines read(size_t count = 1, int rounds = 400)
    {
        Lines got;
        while (got.size() < count && !ended_ && rounds-- > 0) {
            if (cut(got)) continue;
            pump();
            char chunk[8192];
            const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) raw_.append(chunk, static_cast<size_t>(n));
            if (n == 0) ended_ = true;
        }
        while (got.size() < count && cut(got)) {}
        if (ended_ && got.size() < count) got.push_back("EOF");
        return got;
    }
    std::string line()
    {
        const Lines got = read();
        return got.empty() ? "" : got.front();
    }

    // The acceptor's LINKED for the opening read last, the cipher started for it.
    std::string linkedFor(uint64_t handled)
    {
        const std::string nonce = nonceHex();
        keys_ = opening + "\n" + nonce;
        char header[LINK_HEADER_HEX + 1] = "-";
        if (rt_key_loaded()) linkCipherStartOut(cipher_, LinkRole::Acceptor, keys_.data(), keys_.size(), header);
        const std::string unproven = "LINKED " + nonce + " " + std::to_string(handled) + " " + header;
        return unproven + " " + proofOf(LinkRole::Acceptor, opening + "\n" + unproven);
    }
    // As the acceptor: the node's LINK read, LINKED answered with `handled`, its PROOF taken.
    void answerOpening(uint64_t handled)
    {
        opening = line();
        send({linkedFor(handled)});
        const std::vector<std::string> proof = words(line());
        ASSERT_EQ(proof.size(), 3u);
        EXPECT_EQ(proof[0], "PROOF");
        if (!rt_key_loaded()) return;
        EXPECT_TRUE(linkCipherStartIn(cipher_, LinkRole::Acceptor, keys_.data(), keys_.size(), proof[1].c_str()));
        sealed_ = true;
    }

    // As the opener: LINK, the node's LINKED checked, PROOF (or a forged one); the count it answered.
    uint64_t open(const std::string &session, bool forgeProof = false)
    {
        int pair[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        take(pair[0]);
        opening = "LINK 2 1 " + nonceHex() + " " + session;
        adoptLink(pair[1], LOOPBACK, opening.c_str(), "", 0);
        const std::vector<std::string> w = words(line());
        if (w.size() != 5 || w[0] != "LINKED") return ADD_FAILURE() << "no LINKED", 0;
        const std::string unproven = "LINKED " + w[1] + " " + w[2] + " " + w[3];
        EXPECT_EQ(w[4], proofOf(LinkRole::Acceptor, opening + "\n" + unproven));
        keys_ = opening + "\n" + w[1];
        char header[LINK_HEADER_HEX + 1] = "-";
        if (rt_key_loaded()) {
            EXPECT_TRUE(linkCipherStartIn(cipher_, LinkRole::Opener, keys_.data(), keys_.size(), w[3].c_str()));
            linkCipherStartOut(cipher_, LinkRole::Opener, keys_.data(), keys_.size(), header);
        }
        const std::string reply = std::string("PROOF ") + header;
        const std::string proven = opening + "\n" + unproven + "\n" + reply + (forgeProof ? "x" : "");
        send({reply + " " + proofOf(LinkRole::Opener, proven)});
        sealed_ = rt_key_loaded();
        return std::stoull(w[2]);
    }

    std::string opening;  // the LINK line of this connection
    Lines ids;            // the ID lines read, in order

private:
    // One line from what was read, opening frames as needed; false when none is whole yet.
    bool cut(Lines &got)
    {
        while (sealed_ && !raw_.empty()) {
            char plain[LINK_FRAME_PLAIN_MAX];
            size_t used = 0, length = 0;
            const auto *bytes = reinterpret_cast<const unsigned char *>(raw_.data());
            const LinkOpen opened = linkOpen(cipher_, bytes, raw_.size(), used, plain, length);
            if (opened == LinkOpen::NeedMore) break;
            if (opened == LinkOpen::Forged) return ADD_FAILURE() << "a forged frame from the node", false;
            plain_.append(plain, length);
            raw_.erase(0, used);
        }
        std::string &text = sealed_ ? plain_ : raw_;
        const size_t end = text.find("\r\n");
        if (end == std::string::npos) return false;
        const std::string line = text.substr(0, end);
        text.erase(0, end + 2);
        // The number a message travels under is kept apart, so that the lines read as sent.
        if (line.rfind("ID ", 0) == 0) ids.push_back(line);
        else got.push_back(line);
        return true;
    }

    int fd_ = -1;
    bool sealed_ = false;
    bool ended_ = false;
    LinkCipher cipher_{};
    std::string keys_, raw_, plain_;
};

// Node 2's IRC port, where the node opens its link, or a one-shot connection.
class Port {
public:
    Port()
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr *>(&addr), len), 0);
        EXPECT_EQ(::listen(fd_, 16), 0);
        EXPECT_EQ(::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len), 0);
        port = ntohs(addr.sin_port);
    }
    ~Port() { shut(); }
    void shut()
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // The next connection the node opened.
    void accept(FarEnd &end)
    {
        for (int round = 0; round < 400; ++round) {
            pump();
            const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            const int on = 1;  // the test's lines go at once, never held behind an unacknowledged one
            (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return end.take(fd);
        }
        ADD_FAILURE() << "the node opened no connection";
    }
    uint16_t port = 0;

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
};

class NodeLinks : public IrcSession {
protected:
    void SetUp() override
    {
        curr_nodeID = 1;
        registerUser(1, "alice");
        registerUser(2, "bob");
        nodeLinks = true;
        resetLinks();
        addNeighbour(2, node2.port);
        argList.advertisement_cycle_time = 10;  // a line handed back is tried again, not given up
    }
    void TearDown() override
    {
        out.take(-1);
        in.take(-1);
        node2.shut();
        closeAllLinks();
        nodeLinks = false;  // what is left goes as one-shot lines to the shut port, and is given up
        IrcSession::TearDown();
        resetLinks();
        rt_forget_key();
    }

    void say(const std::string &text, const std::string &target = "carol", const std::string &route = "OK 2 1")
    {
        parse(1, "PRIVMSG " + target + " :" + text);
        parse(DAEMON_SLOT, route);
        daemon.take();
    }
    static std::string forward(const std::string &text, const std::string &target = "carol")
    {
        return "FORWARD 1 :alice PRIVMSG " + target + " " + text;
    }
    static std::string fromNode2(const std::string &to, const std::string &text) { return "FORWARD 2 :zed PRIVMSG " + to + " " + text; }
    // A fresh link up, `count` lines to carol on their way on it.
    void linkUp(int count, uint64_t handled = 0)
    {
        resetLinks();
        for (int i = 1; i <= count; ++i) say("m" + std::to_string(i));
        node2.accept(out);
        out.answerOpening(handled);
    }
    Lines sent(int from, int to)
    {
        Lines lines;
        for (int i = from; i <= to; ++i) lines.push_back(forward("m" + std::to_string(i)));
        return lines;
    }
    // Node 2's numbered line for carol, who lives beyond node 2: this node asks its daemon, links
    // back to node 2 and sends it on there.
    void passThrough(const std::string &id, const std::string &text)
    {
        in.send({id, fromNode2("carol", text)});
        pumpFor(3);
        EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");
        parse(DAEMON_SLOT, "OK 2 1");
        node2.accept(out);
        out.answerOpening(0);
        EXPECT_EQ(out.read(), Lines{fromNode2("carol", text)});
    }
    // Once lines handed back are asked of the daemon again, each question gets "OK 2 1"; what the
    // node then writes to node 2 is added to `got`.
    void answerWhatIsAskedAgain(Lines &got)
    {
        std::string asked;
        for (int round = 0; round < 1000 && asked.empty(); ++round) pump(), asked = daemon.take();
        for (long i = 0; i < std::count(asked.begin(), asked.end(), '\n'); ++i) parse(DAEMON_SLOT, "OK 2 1");
        for (const std::string &l : out.read(3, 100)) got.push_back(l);
    }
    // The far end acknowledges everything with `ack`, after which the node holds nothing.
    void acknowledgeAll(const std::string &ack)
    {
        out.send({ack});
        pumpFor(5);
        expectSettled();
    }
    void expectSettled()
    {
        EXPECT_EQ(linkReport(0).inFlight, 0);
        EXPECT_EQ(heldForHops(), 0);
    }

    Port node2;
    FarEnd out;  // the node's link to node 2
    FarEnd in;   // node 2's link to the node
};

TEST_F(NodeLinks, LinesArePipelinedAndSettledByCountInClearAndSealed)
{
    for (const bool keyed : {false, true}) {
        SCOPED_TRACE(keyed ? "keyed" : "clear");
        if (keyed) loadKey();
        linkUp(3);
        EXPECT_EQ(words(out.opening).size(), 5u);
        EXPECT_EQ(out.read(3), sent(1, 3));  // no acknowledgement waited for
        EXPECT_EQ(linkReport(0).keyed, keyed);
        EXPECT_EQ(linkReport(0).inFlight, 3);
        out.send({"ACK 2"});
        pumpFor(5);
        EXPECT_EQ(linkReport(0).inFlight, 1);
        out.send({"ACK 3"});
        pumpFor(5);
        expectSettled();
        // An acknowledgement of a line never sent is no neighbour's: the link closes.
        out.send({"ACK 4"});
        EXPECT_EQ(out.read(), Lines{"EOF"});
    }
}

// A refused opening is closed without a word. Only an answer that is no LINKED at all, or three
// openings in a row left unanswered or closed, make the neighbour one that does not link, whose
// lines then go one connection each.
TEST_F(NodeLinks, RefusedOpeningWritesNothingAndOnlyANonLinkerGetsOneShotLines)
{
    const std::string header(LINK_HEADER_HEX, 'a'), proof(LINK_PROOF_HEX, 'b');
    struct Case {
        const char *name;
        bool keyed;
        std::function<void(FarEnd &)> answer;
        bool oneShot;
    };
    const std::vector<Case> cases = {
        {"wrong proof", true, [&](FarEnd &e) { e.send({"LINKED " + nonceHex() + " 0 " + header + " " + proof}); }, false},
        {"no key's fields", true, [&](FarEnd &e) { e.send({"LINKED " + nonceHex() + " 0 - -"}); }, false},
        {"replayed from an earlier opening", true,
         [&](FarEnd &e) {
             const std::string earlier = e.linkedFor(0);
             e.take(-1);
             node2.accept(e);  // the node tries again
             e.line();
             e.send({earlier});
         },
         false},
        {"counts lines never sent", false, [&](FarEnd &e) { e.send({e.linkedFor(7)}); }, false},
        {"garbage", false, [&](FarEnd &e) { e.send({"HELLO there"}); }, true},
        {"silence, once", false, [&](FarEnd &) {}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        rt_forget_key();
        if (c.keyed) loadKey();
        resetLinks();
        say("m1");
        node2.accept(out);
        out.opening = out.line();
        c.answer(out);
        EXPECT_EQ(out.read(1, 2500), Lines{"EOF"});
        FarEnd next;
        node2.accept(next);
        if (c.oneShot) {
            EXPECT_EQ(next.line(), forward("m1"));
            next.sendRaw("+");
            next.take(-1);
        } else {
            next.answerOpening(0);
            EXPECT_EQ(next.opening.rfind("LINK 1 2 ", 0), 0u) << next.opening;
            EXPECT_EQ(next.read(), Lines{forward("m1")});
            next.send({"ACK 1"});
        }
        pumpFor(20);
        expectSettled();
    }
}

// A node that does not link and has no room for the opening as a client closes it at once.
TEST_F(NodeLinks, ANeighbourThatClosesThreeOpeningsInARowGetsOneShotLines)
{
    resetLinks();
    say("m1");
    for (int attempt = 0; attempt < 3; ++attempt) {
        FarEnd closing;  // closed as it goes
        node2.accept(closing);
        EXPECT_EQ(closing.line().rfind("LINK 1 2 ", 0), 0u);
    }
    FarEnd next;
    node2.accept(next);
    EXPECT_EQ(next.line(), forward("m1"));
    next.sendRaw("+");
    next.take(-1);
    pumpFor(20);
    expectSettled();
}

// Five lines in flight, the first acknowledged, when the link breaks: the neighbour's count on the
// next link says which go again. A count of 0 for a known session is a neighbour that restarted.
TEST_F(NodeLinks, AfterAReconnectExactlyTheLinesNotHandledGoAgainInOrder)
{
    struct Case {
        uint64_t handled;
        int resentFrom;
        uint64_t lastAck;
    };
    for (const Case &c : {Case{3, 4, 5}, Case{1, 2, 5}, Case{5, 6, 5}, Case{0, 2, 4}}) {
        SCOPED_TRACE("handled " + std::to_string(c.handled));
        linkUp(5);
        EXPECT_EQ(out.read(5), sent(1, 5));
        out.send({"ACK 1"});
        pumpFor(5);
        const std::string session = words(out.opening).at(4);
        out.take(-1);
        node2.accept(out);
        out.answerOpening(c.handled);
        EXPECT_EQ(words(out.opening).at(4), session);
        EXPECT_EQ(out.read(5, 30), sent(c.resentFrom, 5));
        out.send({"ACK " + std::to_string(c.lastAck)});
        pumpFor(5);
        expectSettled();
        out.take(-1);
    }
}

// A full frame that arrives in two reads, the first past the largest plain text a frame holds,
// is read whole: the buffer is read until it is full, and a frame is never larger.
TEST_F(NodeLinks, AFullSealedFrameSplitAnywhereIsReadWhole)
{
    loadKey();
    EXPECT_EQ(in.open("00000000000000f1"), 0u);
    Lines lines;
    for (size_t plain = 0; plain + 130 < LINK_FRAME_PLAIN_MAX; plain += lines.back().size() + 2)
        lines.push_back(fromNode2("bob", std::to_string(lines.size()) + std::string(100, 'y')));
    const size_t left = LINK_FRAME_PLAIN_MAX - FarEnd::joined(lines).size() - 2;
    lines.push_back(fromNode2("bob", "z") + std::string(left - fromNode2("bob", "z").size(), 'w'));
    const std::string frame = in.sealedFrame(lines);
    ASSERT_EQ(frame.size(), LINK_FRAME_MAX);
    in.sendRaw(frame.substr(0, LINK_FRAME_PLAIN_MAX + 6));
    pumpFor(20);
    in.sendRaw(frame.substr(LINK_FRAME_PLAIN_MAX + 6));
    EXPECT_EQ(in.read(1, 2000), Lines{"ACK " + std::to_string(lines.size())});
    client(2).take();
}

// A hand-back answers one sending: a line handed back, then sent again on the next link and taken
// there, is not asked for again.
TEST_F(NodeLinks, AHandBackDoesNotOutliveTheSendingItAnswered)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    out.send({"BACK 1"});
    pumpFor(5);
    out.take(-1);
    node2.accept(out);
    out.answerOpening(0);
    EXPECT_EQ(out.read(), sent(1, 1));
    out.send({"ACK 1"});
    pumpFor(20);
    EXPECT_EQ(daemon.take(), "");
    expectSettled();
}

// The daemon's route for a nick serves the next messages for a moment, but a message never
// overtakes one that still waits for its answer, and a NONE forgets it.
TEST_F(NodeLinks, ANicksRouteServesAgainUnlessAMessageWaitsForItsAnswer)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    parse(1, "PRIVMSG carol :m2");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(out.read(), sent(2, 2));

    parse(1, "PRIVMSG dave :d1");
    parse(1, "PRIVMSG carol :m3");
    EXPECT_EQ(daemon.take(), "NEXTHOP dave\r\nNEXTHOP carol\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_EQ(out.read(2), (Lines{forward("d1", "dave"), forward("m3")}));

    parse(1, "PRIVMSG erin :e1");
    parse(DAEMON_SLOT, "NONE");
    parse(1, "PRIVMSG erin :e2");
    EXPECT_EQ(daemon.take(), "NEXTHOP erin\r\nNEXTHOP erin\r\n");
    parse(DAEMON_SLOT, "NONE");
    client(1).take();
    acknowledgeAll("ACK 4");
}

// A channel's hops serve again as a nick's route does, until a change of its members; answers
// given while the change settles are not kept.
TEST_F(NodeLinks, AChannelsHopsServeAgainUntilItsMembersChange)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    say("c1", "#c", "OK 2");
    EXPECT_EQ(out.read(), Lines{forward("c1", "#c")});
    parse(1, "PRIVMSG #c :c2");
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(out.read(), Lines{forward("c2", "#c")});
    channelMembersChanged("#c", nowMillis());
    for (const char *text : {"c3", "c4"}) {
        parse(1, std::string("PRIVMSG #c :") + text);
        EXPECT_EQ(daemon.take(), "NEXTHOPS 1 #c\r\n");
        parse(DAEMON_SLOT, "OK 2");
        EXPECT_EQ(out.read(), Lines{forward(text, "#c")});
    }
    acknowledgeAll("ACK 5");
}

// A receiver that hands a line back hands back every line after it until told AGAIN: they go
// again in the order they were written, a channel's on the same hop after a pause and before the
// lines never written, a nick's asked for again, and a later message for that nick waits behind it.
TEST_F(NodeLinks, LinesHandedBackGoAgainInTheirOrderAndNothingOvertakesThem)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    out.send({"ACK 1"});
    say("c1", "#c", "OK 2");
    say("c2", "#c", "OK 2");
    EXPECT_EQ(out.read(2), (Lines{forward("c1", "#c"), forward("c2", "#c")}));
    out.send({"BACK 2", "BACK 3"});
    pumpFor(5);
    say("c3", "#c", "OK 2");  // written only once the hand-backs are answered
    out.send({"ACK 3"});
    EXPECT_EQ(out.read(4, 1000), (Lines{"AGAIN", forward("c1", "#c"), forward("c2", "#c"), forward("c3", "#c")}));
    out.send({"ACK 6"});

    say("n1", "carol");
    EXPECT_EQ(out.read(), Lines{forward("n1")});
    out.send({"BACK 7", "ACK 7"});
    EXPECT_EQ(out.read(), Lines{"AGAIN"});
    parse(1, "PRIVMSG carol :n2");  // waits behind n1, which is asked for again first
    EXPECT_EQ(daemon.take(), "");
    std::string asked;
    for (int round = 0; round < 1000 && asked.empty(); ++round) pump(), asked = daemon.take();
    EXPECT_EQ(asked, "NEXTHOP carol\r\nNEXTHOP carol\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    parse(DAEMON_SLOT, "OK 2 1");
    EXPECT_EQ(out.read(2), (Lines{forward("n1"), forward("n2")}));
    acknowledgeAll("ACK 9");
}

TEST_F(NodeLinks, AcceptedLinkDeliversInOrderUnderOneAcknowledgementInClearAndSealed)
{
    for (const bool keyed : {false, true}) {
        SCOPED_TRACE(keyed ? "keyed" : "clear");
        if (keyed) loadKey();
        EXPECT_EQ(in.open(keyed ? "00000000000000b2" : "00000000000000b1"), 0u);
        in.send({fromNode2("bob", "l1"), fromNode2("bob", "l2"), fromNode2("bob", "l3")});
        EXPECT_EQ(in.read(2), Lines{"ACK 3"});
        EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "l1") + privmsg("zed", "bob", "l2") + privmsg("zed", "bob", "l3"));
    }
}

// Lines still unread on the old link when the neighbour opens a new one count for nothing: it
// sends them again on the new one, and each is delivered once.
TEST_F(NodeLinks, AcceptorTakesNoLineTwiceAcrossAReconnectAndCountsPerSession)
{
    const std::string session = "0123456789abcdef";
    EXPECT_EQ(in.open(session), 0u);
    in.send({fromNode2("bob", "l1"), fromNode2("bob", "l2")});
    EXPECT_EQ(in.read(), Lines{"ACK 2"});
    in.send({fromNode2("bob", "l3"), fromNode2("bob", "l4")});
    FarEnd again;
    EXPECT_EQ(again.open(session), 2u);
    EXPECT_EQ(in.read(2).back(), "EOF");  // after an ACK of l3 and l4 if it read them in time
    again.send({fromNode2("bob", "l3"), fromNode2("bob", "l4")});
    EXPECT_EQ(again.read(), Lines{"ACK 4"});
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "l1") + privmsg("zed", "bob", "l2") +
                                    privmsg("zed", "bob", "l3") + privmsg("zed", "bob", "l4"));
    FarEnd fresh;
    EXPECT_EQ(fresh.open("fedcba9876543210"), 0u);
}

// A line that is no node's closes the link; those before it were handled and count. A line that
// reads but breaks the rules counts too, so that the opener does not send it again on every new
// link; bytes that do not read as a line at all do not.
TEST_F(NodeLinks, ALineThatBreaksTheRulesClosesTheLink)
{
    const std::vector<std::pair<std::string, uint64_t>> bad = {
        {"NICK zed", 2},
        {"FORWARD 9 :zed PRIVMSG bob from an unknown node", 2},
        {"LINK 2 1 " + nonceHex() + " 0123456789abcdef", 2},
        {fromNode2("bob", std::string(500, 'x')), 1},
        {std::string("FORWARD 2 :zed PRIVMSG bob a\0b", 30), 1},
    };
    int session = 0;
    for (const auto &[line, counted] : bad) {
        SCOPED_TRACE(line.substr(0, 40));
        const std::string s = "00000000000000" + std::to_string(10 + ++session);
        EXPECT_EQ(in.open(s), 0u);
        in.send({fromNode2("bob", "good"), line, fromNode2("bob", "after")});
        EXPECT_EQ(in.read(), Lines{"EOF"});
        EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "good"));
        EXPECT_EQ(in.open(s), counted);
    }
}

// Under the key a forged frame closes the link as a broken line does, and a PROOF that does not
// prove the key closes the opening with nothing taken, not even the count.
TEST_F(NodeLinks, ForgedFrameOrProofClosesTheLinkWithNothingTaken)
{
    loadKey();
    EXPECT_EQ(in.open("00000000000000c1"), 0u);
    in.send({fromNode2("bob", "good")});
    EXPECT_EQ(in.read(), Lines{"ACK 1"});
    in.sendRaw(std::string("\0\0\x20", 3) + std::string(32, 'x'));
    EXPECT_EQ(in.read(), Lines{"EOF"});
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "good"));

    EXPECT_EQ(in.open("00000000000000c2", true), 0u);
    in.send({fromNode2("bob", "forged")});
    EXPECT_EQ(in.read(), Lines{"EOF"});
    EXPECT_EQ(in.open("00000000000000c2"), 0u);
    EXPECT_EQ(client(2).take(), "");
}

TEST_F(NodeLinks, WithoutTheDaemonALineThatNeedsItIsHandedBack)
{
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(in.open("00000000000000d1"), 0u);
    in.send({fromNode2("carol", "elsewhere"), fromNode2("bob", "here")});
    // bob's line is handed back too, so as not to overtake the first when it comes again.
    EXPECT_EQ(in.read(3), (Lines{"BACK 1", "BACK 2", "ACK 2"}));
    EXPECT_EQ(client(2).take(), "");
    in.send({"AGAIN", fromNode2("bob", "here")});
    EXPECT_EQ(in.read(), Lines{"ACK 3"});
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "here"));
}

// A transit message no node can deliver is answered along the links to its sender's node, which
// tells the sender, naming the target as it was written.
TEST_F(NodeLinks, UndeliveredAnswerTravelsBackToTheSendersNode)
{
    replyMode = Replies::Client;
    EXPECT_EQ(in.open("00000000000000e1"), 0u);
    in.send({fromNode2("Carol", "lost")});
    pumpFor(3);
    EXPECT_EQ(daemon.take(), "NEXTHOP carol\r\n");  // asked folded, as the profile asks every name
    parse(DAEMON_SLOT, "NONE");
    EXPECT_EQ(daemon.take(), "NEXTHOP zed\r\n");
    parse(DAEMON_SLOT, "OK 2 1");
    node2.accept(out);
    out.answerOpening(0);
    EXPECT_EQ(out.read(), Lines{"FORWARD 1 :zed 401 zed Carol"});
    EXPECT_EQ(out.ids.size(), 1u);  // an answer is a message of this node's own
    // The line stays on this node's hands until the answer has left them.
    EXPECT_EQ(in.read(1, 20), Lines{});
    out.send({"ACK 1"});
    EXPECT_EQ(in.read(), Lines{"ACK 1"});

    in.send({"FORWARD 2 :zed 401 alice Carol"});
    EXPECT_EQ(in.read(), Lines{"ACK 2"});
    EXPECT_EQ(client(1).take(), numeric("401 alice Carol :No such nick/channel"));
}

// A neighbour that dies after it took a line and before it handed it on loses nothing: the line is
// acknowledged only once its next hop has it, so the sender still holds it and sends it again; and
// a line that comes again under the number it was taken under is handed on, never delivered twice.
TEST_F(NodeLinks, ALineIsAcknowledgedOnlyOffThisNodesHandsAndDeliveredOnceUnderItsNumber)
{
    EXPECT_EQ(in.open("00000000000000f1"), 0u);
    const std::string id = "ID 00000000000000aa 7";
    passThrough(id, "through");
    EXPECT_EQ(out.ids, Lines{id});  // it goes on under the number it came with
    EXPECT_EQ(in.read(1, 20), Lines{});
    out.send({"ACK 1"});
    EXPECT_EQ(in.read(), Lines{"ACK 1"});

    // Node 2 sends bob's line again on a new session, as after this node's restart: bob has it once.
    for (const char *session : {"00000000000000f2", "00000000000000f3"}) {
        EXPECT_EQ(in.open(session), 0u);
        in.send({"ID 00000000000000aa 8", fromNode2("bob", "once")});
        EXPECT_EQ(in.read(), Lines{"ACK 1"});
    }
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "once"));
    // The same number from another run of node 2 is another message.
    in.send({"ID 00000000000000bb 8", fromNode2("bob", "new run")});
    EXPECT_EQ(in.read(), Lines{"ACK 2"});
    EXPECT_EQ(client(2).take(), privmsg("zed", "bob", "new run"));
    in.send({"ID 00000000000000bb", fromNode2("bob", "bad")});
    EXPECT_EQ(in.read(), Lines{"EOF"});
}

// Hand-backs lost with their link: the node declined both lines (no daemon) and wrote BACK 1,
// BACK 2, ACK 2, but the link broke before the opener read them. The next link of the same session
// must not count them as handled, or the opener would take both for delivered.
TEST_F(NodeLinks, AHandBackLostWithItsLinkIsNotCountedAsHandledOnTheNext)
{
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    const std::string session = "00000000000000d7";
    EXPECT_EQ(in.open(session), 0u);
    in.send({fromNode2("carol", "elsewhere"), fromNode2("bob", "here")});
    pumpFor(5);  // read and handed back; the opener never reads the answers
    FarEnd again;
    EXPECT_EQ(again.open(session), 0u) << "lines handed back on a link that broke are counted as handled";
    EXPECT_EQ(client(2).take(), "");
}

// A new link does not pass over lines the old one handed back. Line 1 is held (in flight to its
// next hop), lines 2 and 3 are handed back (no daemon), and the link breaks before the opener reads
// the BACKs; the opener sends all three again on the next link, and bob's line is then delivered
// or handed back again, never acknowledged unseen.
TEST_F(NodeLinks, ANewLinksSkipDoesNotPassOverLinesHandedBackOnTheOld)
{
    const std::string session = "00000000000000d8";
    EXPECT_EQ(in.open(session), 0u);
    const std::string id = "ID 00000000000000aa 1";
    passThrough(id, "through");
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    ASSERT_EQ(connections[DAEMON_SLOT].sock, 0);
    in.send({"ID 00000000000000aa 2", fromNode2("carol", "second"), "ID 00000000000000aa 3", fromNode2("bob", "here")});
    pumpFor(5);  // BACK 2, BACK 3 written, never read by the opener
    FarEnd again;
    EXPECT_EQ(again.open(session), 0u);
    again.send({id, fromNode2("carol", "through"), "ID 00000000000000aa 2", fromNode2("carol", "second"),
                "ID 00000000000000aa 3", fromNode2("bob", "here")});
    pumpFor(5);
    out.send({"ACK 1"});
    const Lines got = again.read(3, 200);
    const bool backAgain = std::find(got.begin(), got.end(), "BACK 3") != got.end();
    const std::string bob = client(2).take();
    EXPECT_TRUE(backAgain || bob == privmsg("zed", "bob", "here"))
        << "bob's line was acknowledged but neither delivered nor handed back; the node wrote:"
        << ::testing::PrintToString(got);
}

// A message for a nick queued while its hop holds (a line for the same nick was handed back) does
// not overtake the handed-back one, which is asked for again first.
TEST_F(NodeLinks, AMessageQueuedWhileHoldingDoesNotOvertakeTheOneHandedBack)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    out.send({"ACK 1"});
    parse(1, "PRIVMSG carol :n1");  // the route of m1 serves
    EXPECT_EQ(daemon.take(), "");
    EXPECT_EQ(out.read(), Lines{forward("n1")});
    out.send({"BACK 2"});
    pumpFor(5);
    parse(1, "PRIVMSG carol :n2");
    EXPECT_EQ(daemon.take(), "");  // not asked: it waits in the hop's queue
    out.send({"ACK 2"});
    Lines got = out.read(2, 30);
    answerWhatIsAskedAgain(got);
    Lines forwards;
    for (const std::string &l : got)
        if (l.rfind("FORWARD", 0) == 0) forwards.push_back(l);
    EXPECT_EQ(forwards, (Lines{forward("n1"), forward("n2")})) << ::testing::PrintToString(got);
}

// Nor does one whose daemon's answer comes while the handed-back one waits to be asked again.
TEST_F(NodeLinks, AMessageAnsweredAfterAHandBackDoesNotOvertakeIt)
{
    linkUp(1);
    EXPECT_EQ(out.read(), sent(1, 1));
    out.send({"ACK 1"});
    parse(1, "PRIVMSG carol :n1");
    EXPECT_EQ(out.read(), Lines{forward("n1")});
    out.send({"BACK 2"});
    pumpFor(5);
    parse(1, "PRIVMSG dave :d1");
    parse(1, "PRIVMSG carol :n2");  // behind d1, which waits for its answer: asked of the daemon
    EXPECT_EQ(daemon.take(), "NEXTHOP dave\r\nNEXTHOP carol\r\n");
    out.send({"ACK 2"});
    Lines got = out.read(1, 30);
    parse(DAEMON_SLOT, "OK 2 1");
    parse(DAEMON_SLOT, "OK 2 1");
    for (const std::string &l : out.read(2, 30)) got.push_back(l);
    answerWhatIsAskedAgain(got);
    Lines forwards;
    for (const std::string &l : got)
        if (l.find("carol") != std::string::npos) forwards.push_back(l);
    EXPECT_EQ(forwards, (Lines{forward("n1"), forward("n2")})) << ::testing::PrintToString(got);
}

}  // namespace

TEST(RouteCache, ARouteLivesASecondAndGoesWithItsHop)
{
    clearRouteCache();
    routeAnswered("bob", 2, 1000);
    routeAnswered("carol", 3, 1000);
    routeAnswered("abcdefghij", 4, 1000);  // longer than a nick: its place would name another
    EXPECT_EQ(cachedHop("bob", 1999), 2u);
    EXPECT_EQ(cachedHop("bob", 2000), 0u);
    EXPECT_EQ(cachedHop("bo", 1500), 0u);
    EXPECT_EQ(cachedHop("abcdefghi", 1500), 0u);
    forgetRoutesVia(3);
    EXPECT_EQ(cachedHop("carol", 1500), 0u);
    routeAnswered("bob", 0, 1500);
    EXPECT_EQ(cachedHop("bob", 1500), 0u);
}
