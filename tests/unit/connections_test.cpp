// sendData, resetConnection and the neighbour lookup.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "core/admission.h"
#include "core/connections.h"
#include "core/framing.h"
#include "core/out_queue.h"
#include "core/server.h"
#include "core/sizes.h"
#include "irc/profile.h"
#include "routing/pending_queue.h"
#include "support/client_end.h"
#include "support/irc_session.h"
#include "support/loopback_listener.h"
#include "support/tables.h"

namespace {

class Connections : public ::testing::Test {
protected:
    FreshTables tables{"testhost"};
    ClientEnd daemon = attachClient(DAEMON_SLOT);
};

TEST_F(Connections, SendAppendsCrLf)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, "abcd"), 1);
    EXPECT_EQ(c.take(), "abcd\r\n");
    EXPECT_EQ(sendData(1, ""), 1);
    EXPECT_EQ(c.take(), "\r\n");
}

TEST_F(Connections, LongTextIsCutToOneLine)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, std::string(600, 'z').c_str()), 1);
    const std::string got = c.take();
    EXPECT_EQ(got.size(), 511u);
    EXPECT_EQ(got, std::string(509, 'z') + "\r\n");
}

// A reply that echoes a client's word with a CR in it (framing keeps a CR that is not the last
// byte) must not hand the peer a second, forged line.
TEST_F(Connections, TextEndsAtItsFirstCrOrLf)
{
    ClientEnd c = attachClient(1);
    EXPECT_EQ(sendData(1, ":testhost 432 a\rb :Erroneus nickname"), 1);
    EXPECT_EQ(sendData(1, "one\ntwo"), 1);
    EXPECT_EQ(c.take(), ":testhost 432 a\r\none\r\n");
}

TEST_F(Connections, FreeSlotGetsNothing)
{
    EXPECT_EQ(sendData(4, "abcd"), 0);
    EXPECT_EQ(daemon.take(), "");
}

// SIGPIPE keeps its default action here: a send that raised it would end the test binary.
TEST_F(Connections, PeerThatVanishedIsDroppedQuietly)
{
    ClientEnd c = attachClient(2);
    setNick(2, "bob");
    c.closeMine();
    EXPECT_EQ(sendData(2, "abcd"), 1);  // only queued: the socket is written by the loop
    flushOutput();
    EXPECT_EQ(sendData(2, "again"), 0);
    dropBrokenPeers();
    EXPECT_EQ(connections[2].sock, 0);
    EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");
}

// A peer that stops reading fills its queue: it gets no more lines, so none is ever cut short or
// glued to another, and it is dropped like a closed connection, without anyone waiting for it.
TEST_F(Connections, PeerThatStopsReadingIsDroppedWhenItsQueueFills)
{
    ClientEnd c = attachClient(1);
    ClientEnd other = attachClient(3);
    const std::string line(400, 'x');
    int queued = 0;
    while (queued < 100000 && sendData(1, line.c_str()) == 1) {
        ++queued;
        if (queued % 64 == 0) flushOutput();  // as the loop does between passes
    }
    ASSERT_LT(queued, 100000) << "the peer's queue never filled";
    EXPECT_EQ(sendData(1, "after"), 0);
    EXPECT_EQ(sendData(3, "others go on"), 1);
    EXPECT_EQ(other.take(), "others go on\r\n");
    dropBrokenPeers();
    EXPECT_EQ(connections[1].sock, 0);
    const std::string got = c.take();
    EXPECT_EQ(got.find("after"), std::string::npos);
    EXPECT_EQ(got.size() % 402, 0u) << "a line was cut short";
    EXPECT_TRUE(c.hungUp());
}

// A daemon link that stops reading is not cut short, which would pair later answers with the
// wrong messages: it counts as lost, and every message waiting on it is answered with the 401.
TEST_F(Connections, DaemonLinkThatStopsReadingCountsAsLost)
{
    ClientEnd alice = attachClient(1);
    setNick(1, "alice");
    connections[1].registered = 1;
    const Message m{"1", "alice", "bob", "hi"};
    requestRoute("NEXTHOP bob", 1, m, "bob", false);
    ASSERT_EQ(messageWaiting(), 1);
    const std::string line(400, 'r');
    int queued = 0;
    while (queued < 100000 && sendData(DAEMON_SLOT, line.c_str()) == 1) ++queued;
    ASSERT_LT(queued, 100000);
    dropBrokenPeers();
    EXPECT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_EQ(messageWaiting(), 0);
    EXPECT_EQ(alice.take(), ":testhost 401 bob :No such nick/channel\r\n");
}

// The queue resumes where the socket stopped: a line the socket took only in part is finished
// before the next one starts.
TEST(OutQueue, ResumesWhereTheSocketStopped)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    const int small = 4096;
    ASSERT_EQ(setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    static OutQueue q;
    outClear(q);
    std::string sent;
    for (int i = 0;; ++i) {
        const std::string line = std::to_string(i) + std::string(97, '.') + "\r\n";
        if (!outAppend(q, line.data(), line.size())) break;
        sent += line;
    }
    std::string got;
    for (int round = 0; round < 10000 && got.size() < sent.size(); ++round) {
        const Flush f = outFlush(q, pair[1]);
        EXPECT_NE(f, Flush::Failed);
        char chunk[8192];
        const ssize_t n = recv(pair[0], chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) got.append(chunk, static_cast<size_t>(n));
    }
    EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size() << " bytes arrived in order";
    EXPECT_TRUE(outEmpty(q));
    close(pair[0]);
    close(pair[1]);
}

// A queue holds blocks of the pool only while bytes wait in it: as many as its bytes span, given
// back as the socket takes them, and all of them when it is cleared.
TEST(OutQueue, HoldsBlocksOnlyWhileBytesWait)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    static OutQueue q;
    outClear(q);
    ASSERT_EQ(outBlocksInUse(), 0);
    const std::string line = std::string(998, 'b') + "\r\n";
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(outAppend(q, line.data(), line.size()));
    EXPECT_EQ(outQueued(q), 10000u);
    EXPECT_EQ(outBlocksInUse(), 3);
    EXPECT_EQ(outFlush(q, pair[1]), Flush::Done);
    EXPECT_TRUE(outEmpty(q));
    EXPECT_EQ(outBlocksInUse(), 0);
    char sink[16384];
    EXPECT_EQ(recv(pair[0], sink, sizeof sink, MSG_DONTWAIT), 10000);

    // Full: the room of OUT_QUEUE_SIZE bytes, in whole lines, and no more blocks than that spans.
    size_t lines = 0;
    while (outAppend(q, line.data(), line.size())) ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(OUT_QUEUE_SIZE) / line.size());
    EXPECT_LE(outBlocksInUse(), OUT_BLOCKS_PER_QUEUE);
    EXPECT_EQ(outRoom(q), OUT_QUEUE_SIZE - lines * line.size());
    outClear(q);
    EXPECT_EQ(outBlocksInUse(), 0);
    close(pair[0]);
    close(pair[1]);
}

// Every queue the pool was sized for full at once takes every block but a few; should more queues
// than that ever want blocks, a line that finds too few is refused whole (its peer is then dropped
// by sendData, never sent half a line), and the blocks a drained queue gives back serve it.
TEST(OutQueue, AnExhaustedPoolRefusesALineWholeAndServesItOnceBlocksComeBack)
{
    static OutQueue full[(MAX_CONNECTIONS + LINK_STREAMS) * OUT_BLOCKS_PER_QUEUE / (OUT_QUEUE_SIZE / OUT_BLOCK_SIZE)];
    static OutQueue late;
    const std::string bytes(OUT_QUEUE_SIZE, 'f');
    for (OutQueue &q : full) ASSERT_TRUE(outAppend(q, bytes.data(), bytes.size()));
    const int left = (MAX_CONNECTIONS + LINK_STREAMS) * OUT_BLOCKS_PER_QUEUE - outBlocksInUse();
    ASSERT_LT(left, OUT_QUEUE_SIZE / OUT_BLOCK_SIZE);
    const size_t tooMuch = static_cast<size_t>(left + 1) * OUT_BLOCK_SIZE;
    EXPECT_FALSE(outAppend(late, bytes.data(), tooMuch));
    EXPECT_TRUE(outEmpty(late));
    EXPECT_EQ(outBlocksInUse(), (MAX_CONNECTIONS + LINK_STREAMS) * OUT_BLOCKS_PER_QUEUE - left);
    outClear(full[0]);
    EXPECT_TRUE(outAppend(late, bytes.data(), tooMuch));
    outClear(late);
    for (OutQueue &q : full) outClear(q);
    EXPECT_EQ(outBlocksInUse(), 0);
}

TEST_F(Connections, ResetClearsAllButTheAddress)
{
    ClientEnd c = attachClient(1);
    Connection &slot = connections[1];
    std::strcpy(inputBuffer(1), "frag");
    setNick(1, "alice");
    std::strcpy(slot.userName, "u");
    std::strcpy(slot.hostName, "h");
    std::strcpy(slot.realName, "r");
    std::strcpy(slot.serverName, "s");
    slot.registered = 1;

    resetConnection(1);
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\n");
    EXPECT_EQ(slot.sock, 0);
    EXPECT_STREQ(slot.ip, "127.0.0.1");
    EXPECT_EQ(slot.registered, 0);
    // Its serial stays, so that nothing meant for the peer that left is taken for the next one's.
    Connection blank{};
    std::memcpy(blank.ip, slot.ip, sizeof blank.ip);
    blank.serial = slot.serial;
    blank.admittedAt = slot.admittedAt;
    EXPECT_EQ(std::memcmp(&blank, &slot, sizeof blank), 0);
    EXPECT_TRUE(c.hungUp());
}

TEST_F(Connections, ResetWithoutNickTellsNobody)
{
    ClientEnd c = attachClient(3);
    resetConnection(3);
    EXPECT_EQ(connections[3].sock, 0);
    EXPECT_TRUE(c.hungUp());
    EXPECT_EQ(daemon.take(), "");
}

// Slow connections cannot hold the client slots: one that has not registered within the short
// limit of taking its slot is closed, and told why in the client profile only; a registration
// the server itself makes wait (a lookup) has until the long limit. A registered user is never
// dropped for being idle.
TEST_F(Connections, UnregisteredClientsAreClosedAtTheLimit)
{
    for (const int profile : {0, 1}) {
        SCOPED_TRACE(profile);
        replyMode = profile ? Replies::Client : Replies::Exact;
        ClientEnd silent = attachClient(1);
        ClientEnd named = attachClient(2);
        ClientEnd user = attachClient(3);
        ClientEnd waiting = attachClient(4);
        for (int slot = 0; slot < MAX_CONNECTIONS; ++slot) connections[slot].admittedAt = 0;
        setNick(2, "bob");
        connections[3].registered = 1;
        connections[4].holdInput = 1;
        closeSilentConnections(REGISTRATION_LIMIT_MS - 1);
        for (int slot = 1; slot <= 4; ++slot) EXPECT_NE(connections[slot].sock, 0) << slot;

        closeSilentConnections(REGISTRATION_LIMIT_MS);
        EXPECT_EQ(connections[1].sock, 0);
        EXPECT_EQ(connections[2].sock, 0);
        EXPECT_NE(connections[3].sock, 0);
        EXPECT_NE(connections[4].sock, 0);
        EXPECT_EQ(silent.take(), profile ? "ERROR :Closing link: registration timed out\r\n" : "");
        EXPECT_TRUE(silent.hungUp());
        EXPECT_EQ(daemon.take(), "REMOVEUSER bob\r\n");

        closeSilentConnections(UNREGISTERED_LIMIT_MS);
        EXPECT_EQ(connections[4].sock, 0);
        EXPECT_NE(connections[3].sock, 0);
        resetConnection(3);
    }
}

// A slot's time to register runs from when it took the slot, not from the connection's accept.
TEST_F(Connections, RegistrationTimeRunsFromTheSlot)
{
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    freshConnections[0] = FreshConnection{pair[1], 0x0a000009, "10.0.0.9", {}, 0, 0};
    ASSERT_EQ(send(pair[0], "NICK x\r\n", 8, 0), 8);
    readFresh(0);
    ASSERT_NE(connections[1].sock, 0);
    EXPECT_GT(connections[1].admittedAt, 0);
    close(pair[0]);
    dropConnection(1);
}

// Under contention an address keeps one unregistered slot: a newcomer from elsewhere takes the
// newest of an address that holds several, while one from that address finds the server full.
TEST_F(Connections, OneAddressKeepsOneUnregisteredSlotWhenOthersWantIn)
{
    replyMode = Replies::Client;
    ClientEnd ends[4] = {attachClient(1), attachClient(2), attachClient(3), attachClient(4)};
    for (int slot = 1; slot <= 4; ++slot) connections[slot].admittedAt = slot;
    int pair[2][2];
    const char *lines[2] = {"PING x\r\n", "PING y\r\n"};
    const FreshConnection from[2] = {{0, 0x0a000009, "10.0.0.9", {}, 0, 0}, {0, 0x7f000001, "127.0.0.1", {}, 0, 0}};
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair[i]), 0);
        freshConnections[i] = from[i];
        freshConnections[i].sock = pair[i][1];
        ASSERT_EQ(send(pair[i][0], lines[i], 8, 0), 8);
        readFresh(i);
    }
    EXPECT_EQ(ends[3].take(), "ERROR :Closing link: too many unregistered connections from your address\r\n");
    EXPECT_TRUE(ends[3].hungUp());
    EXPECT_STREQ(connections[4].ip, "10.0.0.9");
    char got[128] = {};
    EXPECT_GT(recv(pair[1][0], got, sizeof got - 1, 0), 0);
    EXPECT_STREQ(got, "ERROR :Closing link: server full\r\n");
    for (int slot = 1; slot <= 3; ++slot) EXPECT_NE(connections[slot].sock, 0) << slot;
    close(pair[0][0]);
    close(pair[1][0]);
    dropConnection(4);
}

// A listening socket that fails is reported, at most once a second, and the node goes on: accept
// errors end a pass's accepting, never the process.
TEST_F(Connections, AFailingListenerIsReportedAndTheNodeGoesOn)
{
    const int saved = sock;
    sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);  // never listening: accept fails with EINVAL
    ASSERT_GT(sock, 0);
    testing::internal::CaptureStderr();
    for (int pass = 0; pass < 3; ++pass) addConnection();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "error: the listening socket failed: Invalid argument\n");
    for (int entry = 0; entry < FRESH_SLOTS; ++entry) EXPECT_EQ(freshConnections[entry].sock, 0);
    close(sock);
    sock = saved;
}

size_t lineCount(const std::string &text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

class Share : public irctest::IrcSession {};

// One client's burst for another node, while the daemon answers nothing, stops that client alone
// once it holds its share of the routing queue: a local conversation goes on, and another node's
// line is still taken.
TEST_F(Share, BurstForAnotherNodeStopsOnlyItsSender)
{
    for (int slot = 1; slot <= 3; ++slot) connections[slot].serial = 100 + slot;
    registerUser(1, "alice");
    registerUser(2, "bob");
    registerUser(3, "carol");
    addNeighbour(7, 1);
    std::string burst;
    for (int i = 0; i < 600; ++i) burst += "PRIVMSG remote :m" + std::to_string(i) + "\r\n";
    one.send(burst);
    size_t heard = 0;
    for (int round = 0; round < 40; ++round) {
        two.send("PRIVMSG carol :r" + std::to_string(round) + "\r\n");
        for (int slot = 1; slot <= 3; ++slot)
            if (wantsInput(slot)) recvData(slot);
        heard += lineCount(three.take());
    }
    EXPECT_EQ(heard, 40u);
    const size_t asked = lineCount(daemon.take());
    EXPECT_GT(asked, 0u);
    // It borrowed all that the others' guarantees and other nodes' lines do not keep, no more.
    EXPECT_EQ(asked, static_cast<size_t>(MSG_QUEUE_SLOTS - TRANSIT_RESERVE - 3 * CLIENT_GUARANTEE));
    EXPECT_EQ(wantsInput(1), 0);
    EXPECT_EQ(wantsInput(2), 1);

    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    freshConnections[0] = FreshConnection{pair[1], irctest::LOOPBACK, "127.0.0.1", {}, 0, 0};
    EXPECT_EQ(freshWantsInput(0), 1);
    const std::string line = "FORWARD 7 :dave PRIVMSG carol transit\r\n";
    ASSERT_EQ(send(pair[0], line.data(), line.size(), 0), static_cast<ssize_t>(line.size()));
    readFresh(0);
    EXPECT_EQ(three.take(), ":dave PRIVMSG carol :transit\r\n");
    close(pair[0]);
    if (freshConnections[0].sock != 0) close(freshConnections[0].sock);
    freshConnections[0].sock = 0;
    neighbors = 0;  // nothing was forwarded, and nothing will be
}

enum class Way { Quit, EndOfStream, SlowReader, Reset, DroppedWhileDroppingAnother };

class Leaving : public irctest::IrcSession, public ::testing::WithParamInterface<Way> {
protected:
    // Fills the slot's queue to all but `room` bytes, as a peer that stopped reading leaves it.
    static void nearlyFill(int slot, size_t room)
    {
        OutQueue &q = connections[slot].out;
        const std::string pad(outRoom(q) - room, 'x');
        ASSERT_TRUE(outAppend(q, pad.data(), pad.size()));
    }
};

// Every way a client leaves takes its nick out of the index and its slot out of every list's
// reach, whoever walks which list when; the next peer of the slot starts clean: no mark to be
// dropped, no nick, no time it came, no queued bytes.
TEST_P(Leaving, TheIndexAndTheListsForgetTheSlot)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    registerUser(3, "carol");
    for (int slot = 1; slot <= 3; ++slot) joinAs(slot, "#room");
    switch (GetParam()) {
    case Way::Quit: parse(2, "QUIT :bye"); break;
    case Way::EndOfStream:
        two.closeMine();
        recvData(2);
        break;
    case Way::SlowReader:
        nearlyFill(2, 4);
        parse(1, "PRIVMSG #room :more than four bytes");
        EXPECT_NE(connections[2].sock, 0) << "dropped at the pass's end, not inside the fan-out";
        break;
    case Way::Reset: resetConnection(2); break;
    case Way::DroppedWhileDroppingAnother:
        // Dropping alice tells bob, whose queue cannot take it: bob goes in the same drop.
        nearlyFill(2, 4);
        markBroken(1);
        break;
    }
    dropBrokenPeers();
    EXPECT_EQ(connections[2].sock, 0);
    EXPECT_EQ(findUser("bob"), -1);
    EXPECT_EQ(findUser("carol"), 3);
    EXPECT_EQ(findUser("alice"), GetParam() == Way::DroppedWhileDroppingAnother ? -1 : 1);
    drain();
    EXPECT_EQ(outBlocksInUse(), 0);

    ClientEnd next = takeOverSlot(2);
    ClientEnd *const was = ends[2];
    ends[2] = &next;
    registerUser(2, "newcomer");
    dropBrokenPeers();
    closeSilentConnections(connections[2].admittedAt + UNREGISTERED_LIMIT_MS);
    EXPECT_NE(connections[2].sock, 0);
    EXPECT_EQ(findUser("newcomer"), 2);
    EXPECT_EQ(reply(2, "PRIVMSG carol :hi"), "");
    EXPECT_EQ(three.take(), irctest::privmsg("newcomer", "carol", "hi"));
    ends[2] = was;
}

std::string nameOfWay(const ::testing::TestParamInfo<Way> &way)
{
    static const char *const names[] = {"Quit", "EndOfStream", "SlowReader", "Reset", "DroppedWhileDroppingAnother"};
    return names[static_cast<int>(way.param)];
}

INSTANTIATE_TEST_SUITE_P(EveryWay, Leaving,
                         ::testing::Values(Way::Quit, Way::EndOfStream, Way::SlowReader, Way::Reset,
                                           Way::DroppedWhileDroppingAnother),
                         nameOfWay);

// A nick change moves the slot in the index: the old nick is free at once, for anyone.
TEST_F(Leaving, ANickChangeFreesTheOldNick)
{
    registerUser(1, "alice");
    registerUser(2, "bob");
    parse(1, "NICK alicia");
    EXPECT_EQ(findUser("alice"), -1);
    EXPECT_EQ(findUser("alicia"), 1);
    parse(2, "NICK alice");
    EXPECT_EQ(findUser("alice"), 2);
    EXPECT_EQ(findUser("bob"), -1);
}

// Connections accepted from a listener on 127.0.0.1, each from an address of its own choosing.
class FreshTable : public Connections {
protected:
    void SetUp() override
    {
        listener = loopbackListener(to, 64);
        ASSERT_GE(listener, 0);
        savedListener = sock;
        sock = listener;
        node = rt_config_entry_t{7, NODE_ADDR, 0, 0, 1};
        neighborNodes[0] = &node;
        neighbors = 1;
    }
    void TearDown() override
    {
        sock = savedListener;
        for (int entry = 0; entry < FRESH_SLOTS; ++entry)
            if (freshConnections[entry].sock != 0) close(freshConnections[entry].sock);
        for (int fd : mine) close(fd);
        close(listener);
    }
    // Connects from `from` (IPv4, host order) and lets the node take it; the test's end.
    int arrive(unsigned from)
    {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(from);
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source), 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
        addConnection();
        mine.push_back(fd);
        return fd;
    }
    static int entriesFrom(unsigned from)
    {
        int count = 0;
        for (int entry = 0; entry < FRESH_SLOTS; ++entry)
            count += freshConnections[entry].sock != 0 && freshConnections[entry].peerAddr == from;
        return count;
    }
    // What the node wrote before it closed the connection; "open" while it has not.
    static std::string endOf(int fd)
    {
        std::string got;
        for (int round = 0; round < 20; ++round) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) return "open";
            char chunk[256];
            const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) return got;
            got.append(chunk, static_cast<size_t>(n));
        }
        return "open";
    }

    static constexpr unsigned NODE_ADDR = 0x7f000002;
    int listener = -1;
    int savedListener = -1;
    sockaddr_in to{};
    rt_config_entry_t node{};
    std::vector<int> mine;
};

// Strangers give way to each other, never to another node's connection, whose line would be lost;
// a stranger that finds only those is closed, and a node's newcomer takes the oldest of them.
TEST_F(FreshTable, StrangersNeverEvictAnotherNodesConnection)
{
    const int firstNode = arrive(NODE_ADDR);
    std::vector<int> strangers;
    for (int i = 1; i < FRESH_SLOTS; ++i) strangers.push_back(arrive(0x7f000100 + static_cast<unsigned>(i)));
    const int late = arrive(0x7f000200);
    EXPECT_EQ(endOf(strangers[0]), "");
    EXPECT_EQ(endOf(late), "open");
    EXPECT_EQ(entriesFrom(NODE_ADDR), 1);

    for (int i = 1; i < FRESH_SLOTS; ++i) arrive(NODE_ADDR);
    EXPECT_EQ(entriesFrom(NODE_ADDR), FRESH_SLOTS);
    EXPECT_EQ(endOf(arrive(0x7f000201)), "");
    EXPECT_EQ(entriesFrom(NODE_ADDR), FRESH_SLOTS);
    EXPECT_EQ(endOf(firstNode), "open");
    arrive(NODE_ADDR);
    EXPECT_EQ(endOf(firstNode), std::string(1, LINE_DECLINED_BYTE));  // not taken: its sender tries again
    EXPECT_EQ(entriesFrom(NODE_ADDR), FRESH_SLOTS);
}

// One stranger's address holds no more fresh entries than it could make clients; the next one is
// told so in the client profile.
TEST_F(FreshTable, OneStrangerHoldsFewEntries)
{
    replyMode = Replies::Client;
    constexpr unsigned STRANGER = 0x7f000300;
    for (int i = 0; i < FRESH_PER_STRANGER; ++i) arrive(STRANGER);
    const int extra = arrive(STRANGER);
    EXPECT_EQ(endOf(extra), "ERROR :Closing link: too many unregistered connections from your address\r\n");
    EXPECT_EQ(entriesFrom(STRANGER), FRESH_PER_STRANGER);
    EXPECT_EQ(endOf(arrive(STRANGER + 1)), "open");
}

// A pass accepts at most a backlog's worth: a flood that refills the backlog as fast as the node
// turns connections away cannot hold the loop in its accepts. What is left is taken the next pass.
TEST_F(FreshTable, APassAcceptsAtMostABacklogsWorth)
{
    ASSERT_EQ(listen(listener, SOMAXCONN), 0);
    constexpr int LEFT = 2;
    for (int i = 0; i < tableSizes.backlog + LEFT; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to), 0) << i;
        mine.push_back(fd);
    }
    addConnection();
    int left = 0;
    for (int fd; (fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; ++left) close(fd);
    EXPECT_EQ(left, LEFT);
}

TEST(FindNeighbor, FirstMatchOrMinusOne)
{
    rt_config_entry_t entries[3] = {{7, 0, 0, 0, 0}, {9, 0, 0, 0, 0}, {7, 1, 0, 0, 0}};
    for (int i = 0; i < 3; ++i) neighborNodes[i] = &entries[i];
    neighbors = 3;
    EXPECT_EQ(findNeighbor(7), 0);
    EXPECT_EQ(findNeighbor(9), 1);
    EXPECT_EQ(findNeighbor(8), -1);
    // Entries past the count are not neighbours, whatever the table still holds.
    neighbors = 1;
    EXPECT_EQ(findNeighbor(9), -1);
    neighbors = 0;
    EXPECT_EQ(findNeighbor(7), -1);
}

}  // namespace
