// The loop's one wait (epoll) and the order in which a pass serves what it found.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include <sstream>
#include <string>
#include <vector>

#include "core/admission.h"
#include "core/connections.h"
#include "core/framing.h"
#include "core/readiness.h"
#include "core/server.h"
#include "core/sizes.h"
#include "support/client_end.h"
#include "support/loopback_listener.h"
#include "support/tables.h"

namespace {

struct Pair {
    int mine = -1;
    int theirs = -1;
    Pair()
    {
        int ends[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends), 0);
        mine = ends[0];
        theirs = ends[1];
    }
    // Closed as the node closes its own sockets, so that no test leaves a watch on a number behind.
    ~Pair()
    {
        closeDescriptor(mine);
        closeDescriptor(theirs);
    }
};

// One pass of the wait with `fd` watched as the core or as a poller watches it: the core's interest
// lasts until it changes it, a poller's is named again in every pass.
enum class By { Core, Poller };
void watchOnly(int fd, By by, bool read, bool write)
{
    beginWatching();
    if (by == By::Core) {
        watchOwn(fd, read, write);
        return;
    }
    if (read) watchRead(fd);
    if (write) watchWrite(fd);
}

class Readiness : public ::testing::Test {
protected:
    FreshTables tables{"testhost"};
};

// Level-triggered, as select was: unread bytes are reported again in every pass that watches them,
// and not in one that does not; the core's interest lasts from pass to pass without being named.
TEST_F(Readiness, UnreadBytesAreReportedInEveryPassThatWatchesThem)
{
    for (const By by : {By::Core, By::Poller}) {
        SCOPED_TRACE(by == By::Core ? "core" : "poller");
        Pair p;
        ASSERT_EQ(send(p.mine, "x", 1, 0), 1);
        watchOnly(p.theirs, by, true, false);
        for (int pass = 0; pass < 3; ++pass) {
            if (pass > 0 && by == By::Poller) watchOnly(p.theirs, by, true, false);
            if (pass > 0 && by == By::Core) beginWatching();
            EXPECT_EQ(waitReady(0), 1) << pass;
            EXPECT_TRUE(isReadable(p.theirs));
            EXPECT_FALSE(isWritable(p.theirs));
        }
        watchOnly(p.theirs, by, false, false);
        EXPECT_EQ(waitReady(0), 0);
        EXPECT_FALSE(isReadable(p.theirs));
        watchOnly(p.theirs, by, false, true);
        EXPECT_EQ(waitReady(0), 1);
        EXPECT_FALSE(isReadable(p.theirs));
        EXPECT_TRUE(isWritable(p.theirs));
        watchOnly(p.theirs, by, false, false);
    }
}

// A number closed and given to a new socket is watched as that socket, whoever closed the old one:
// the core reports its closes, a poller closes its own sockets unannounced.
TEST_F(Readiness, ANumberClosedAndTakenAgainIsWatchedAfresh)
{
    for (const By closer : {By::Core, By::Poller}) {
        SCOPED_TRACE(closer == By::Core ? "core" : "poller");
        Pair first;
        watchOnly(first.theirs, closer, true, false);
        EXPECT_EQ(waitReady(0), 0);
        const int number = first.theirs;
        if (closer == By::Core) closeDescriptor(number);
        else close(number);
        first.theirs = -1;
        Pair second;
        ASSERT_TRUE(second.theirs == number || second.mine == number);
        const int reused = number;
        const int peer = second.theirs == number ? second.mine : second.theirs;
        ASSERT_EQ(send(peer, "y", 1, 0), 1);
        watchOnly(reused, By::Core, true, false);
        EXPECT_EQ(waitReady(0), 1);
        EXPECT_TRUE(isReadable(reused));
    }
}

int anyTag(int tag) { return tag != 0 ? 0 : -1; }

// What the wait found of a socket is not taken for a new socket that gets its number later in the
// same pass: not when the core closed the old one (a client dropped, then a poller connects), nor
// when a poller closed it and the core accepts a connection on the number. A connecting poller
// would take a stale "writable" for a connection made.
TEST_F(Readiness, ANumberReusedInThePassInheritsNothingTheWaitFound)
{
    for (const By closer : {By::Core, By::Poller}) {
        SCOPED_TRACE(closer == By::Core ? "core" : "poller");
        Pair first;
        ASSERT_EQ(send(first.mine, "x", 1, 0), 1);
        watchOnly(first.theirs, closer, true, true);
        if (closer == By::Core) tagDescriptor(first.theirs, slotTag(1));
        ASSERT_EQ(waitReady(0), 1);
        const int number = first.theirs;
        ASSERT_TRUE(isReadable(number) && isWritable(number));
        if (closer == By::Core) closeDescriptor(number);
        else close(number);
        first.theirs = -1;
        Pair second;  // nothing sent: neither end is readable
        ASSERT_TRUE(second.theirs == number || second.mine == number);
        // A poller's new socket: the core knows only its own closes.
        if (closer == By::Core) {
            EXPECT_FALSE(isReadable(number) || isWritable(number));
        }
        tagDescriptor(number, freshTag(0));  // the core's accept
        EXPECT_FALSE(isReadable(number) || isWritable(number));
        int count = -1;
        (void)readyIndexes(anyTag, count);
        EXPECT_EQ(count, 0);
    }
}

// A peer that hung up while only its output was watched is reported writable, so that the send
// fails and the peer is dropped, instead of waking every wait for ever.
TEST_F(Readiness, HangUpWakesAWriterOnce)
{
    Pair p;
    closeDescriptor(p.mine);
    p.mine = -1;
    watchOnly(p.theirs, By::Core, false, true);
    EXPECT_EQ(waitReady(0), 1);
    EXPECT_TRUE(isWritable(p.theirs));
    EXPECT_FALSE(isReadable(p.theirs));
}

// What a trace of handled lines says, line by line.
std::vector<std::string> linesOf(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// One pass of the loop's reading part, its traces captured; `found` is what the wait reported.
std::vector<std::string> passTraces(long long waitMs = 1000, int *found = nullptr)
{
    testing::internal::CaptureStdout();
    buildConnectionList();
    const int ready = waitReady(waitMs);
    if (found) *found = ready;
    readSockets();
    readDaemon();
    return linesOf(testing::internal::GetCapturedStdout());
}

class LoopOrder : public Readiness {
protected:
    void SetUp() override { argList.verbose = 1; }
    ClientEnd daemon = attachClient(DAEMON_SLOT);
};

// Clients are read in slot order, then the daemon link, whatever order their bytes came in and the
// wait reports them: the later slots' sockets have the lower numbers and spoke first.
TEST_F(LoopOrder, ClientsInSlotOrderThenTheDaemon)
{
    ClientEnd four = attachClient(4);
    ClientEnd three = attachClient(3);
    ClientEnd two = attachClient(2);
    ClientEnd one = attachClient(1);
    daemon.send("OK 1\n");
    for (ClientEnd *c : {&four, &three, &two, &one}) c->send("PING\n");
    EXPECT_EQ(passTraces(), (std::vector<std::string>{"Command[1]: PING", "Command[2]: PING", "Command[3]: PING",
                                                       "Command[4]: PING", "Command[0]: OK 1"}));
}

// A client with more than a pass's read budget waiting is read again in later passes, each pass
// serving the others in their turn; no line is lost or reordered.
TEST_F(LoopOrder, ABusyClientIsReadAcrossPassesAndOthersKeepTheirTurn)
{
    ClientEnd one = attachClient(1);
    ClientEnd two = attachClient(2);
    constexpr int LINES = 8000;
    std::string burst;
    for (int i = 0; i < LINES; ++i) burst += "A" + std::to_string(i) + "\n";
    ASSERT_GT(burst.size(), static_cast<size_t>(2 * READ_BUDGET));
    one.send(burst);
    two.send("B\n");
    int next = 0;
    int passes = 0;
    bool twoServed = false;
    for (; passes < 200 && next < LINES; ++passes) {
        size_t takenThisPass = 0;
        for (const std::string &line : passTraces()) {
            if (line == "Command[2]: B") {
                EXPECT_EQ(passes, 0) << "the other client waited for the busy one";
                twoServed = true;
                continue;
            }
            ASSERT_EQ(line, "Command[1]: A" + std::to_string(next));
            takenThisPass += line.size() - std::string("Command[1]: ").size() + 1;  // as sent, LF included
            ++next;
        }
        EXPECT_LE(takenThisPass, static_cast<size_t>(READ_BUDGET)) << "pass " << passes;
        (void)one.take();  // its replies, so that it stays readable
    }
    EXPECT_TRUE(twoServed);
    EXPECT_EQ(next, LINES);
    EXPECT_GE(passes, 3);
}

// A client whose input is held is not read, and its unread line does not wake every wait: it is
// not watched for reading until it wants input again, and then read in the pass that follows.
TEST_F(LoopOrder, AClientThatWantsNoInputIsNotWatchedUntilItDoes)
{
    ClientEnd one = attachClient(1);
    ClientEnd two = attachClient(2);
    connections[1].holdInput = 1;
    one.send("PING\n");
    EXPECT_EQ(passTraces(), std::vector<std::string>{});
    int found = -1;
    two.send("PONG\n");
    EXPECT_EQ(passTraces(0, &found), std::vector<std::string>{"Command[2]: PONG"});
    EXPECT_EQ(found, 1) << "the held client woke the wait";
    (void)two.take();  // its reply written, as the pass would write it
    EXPECT_EQ(passTraces(0, &found), std::vector<std::string>{});
    EXPECT_EQ(found, 0);
    connections[1].holdInput = 0;
    EXPECT_EQ(passTraces(), std::vector<std::string>{"Command[1]: PING"});
}

// More clients always ready than a pass takes: the listener, a fresh connection and the daemon
// link are each served within the passes it takes to go round them all, as are the clients.
TEST(Fairness, TheListenerAFreshConnectionAndTheDaemonAreServedBesideABusyCrowd)
{
    constexpr int CROWD = READY_PER_PASS + READY_PER_PASS / 4;
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(CROWD + 4)));
    argList.verbose = 1;
    sockaddr_in addr{};
    const int listener = loopbackListener(addr, 8);
    ASSERT_GE(listener, 0);
    const int savedListener = sock;
    sock = listener;
    watchOwn(sock, true, false);
    {
        std::vector<std::unique_ptr<ClientEnd>> crowd;
        ClientEnd daemon = attachClient(DAEMON_SLOT);
        // The fresh connection: accepted, its first line not sent yet.
        const int early = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(early, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        addConnection();
        ASSERT_NE(freshConnections[0].sock, 0);
        // Empty lines: read and never answered, so every one of them stays ready pass after pass.
        const std::string blanks(4 * READ_BUDGET, '\n');
        for (int slot = FIRST_CLIENT_SLOT; slot <= CROWD; ++slot) {
            crowd.emplace_back(new ClientEnd(attachClient(slot)));
            crowd.back()->send(blanks);
        }
        daemon.send("OK 1\n");
        ASSERT_EQ(send(early, "NICK fresh\r\n", 12, 0), 12);
        const int late = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(late, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        bool daemonRead = false;
        int passes = 0;
        for (; passes < 4 && !(daemonRead && freshConnections[1].sock != 0 && freshConnections[0].sock == 0); ++passes) {
            int found = 0;
            for (const std::string &line : passTraces(0, &found)) daemonRead = daemonRead || line == "Command[0]: OK 1";
            EXPECT_EQ(found, READY_PER_PASS) << "pass " << passes;
        }
        EXPECT_TRUE(daemonRead);
        EXPECT_EQ(freshConnections[0].sock, 0) << "the fresh connection's line was never read";
        EXPECT_EQ(findUser("fresh"), CROWD + 1);
        EXPECT_NE(freshConnections[1].sock, 0) << "the listener was never served";
        EXPECT_LE(passes, 2);
        close(early);
        close(late);
        closeDescriptor(freshConnections[1].sock);
        freshConnections[1].sock = 0;
        resetConnection(CROWD + 1);
    }
    sock = savedListener;
    closeDescriptor(listener);
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
}

}  // namespace
