// The table sizes: the exact node keeps its four clients, the profile takes --max-clients, the
// descriptor limit caps the count, and tables sized for many slots serve them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/client_profile.h"
#include "core/connections.h"
#include "core/framing.h"
#include "core/names.h"
#include "core/out_queue.h"
#include "core/sizes.h"
#include "support/client_end.h"
#include "support/tables.h"

namespace {

// Option parsing moves argv's words, so they live in storage the test owns.
struct Words {
    explicit Words(std::vector<std::string> words) : storage(std::move(words))
    {
        for (std::string &w : storage) pointers.push_back(w.data());
        pointers.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(pointers.size()) - 1; }
    std::vector<std::string> storage;
    std::vector<char *> pointers;
};

// Every client slot taken by a socketpair whose other end the test holds.
void occupyEveryClientSlot(std::vector<std::unique_ptr<ClientEnd>> &ends)
{
    for (int slot = FIRST_CLIENT_SLOT; slot < slotCount(); ++slot) {
        int pair[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        occupySlot(slot, pair[1]);
        ends.push_back(std::make_unique<ClientEnd>(slot, pair[0], pair[1]));
    }
}

// The slot holding the nick as a walk through the table finds it, which the index must agree with.
int walk(const std::string &nick)
{
    for (int slot = 0; slot < slotCount(); ++slot)
        if (connections[slot].sock != 0 && sameName(connections[slot].nick, nick.c_str())) return slot;
    return -1;
}

TEST(Sizes, TheExactNodeKeepsItsTables)
{
    const TableSizes exact = sizesFor(EXACT_CLIENT_SLOTS);
    EXPECT_EQ(exact.clients, 4);
    EXPECT_EQ(exact.slots, MAX_CONNECTIONS);
    EXPECT_EQ(exact.fresh, FRESH_SLOTS);
    EXPECT_EQ(exact.freshPerStranger, FRESH_PER_STRANGER);
    EXPECT_EQ(tableSizes.slots, MAX_CONNECTIONS) << "before start-up the tables are the exact node's";
}

// The fresh table grows with the clients, never below an entry for every other node; one stranger
// holds at most half of it, and never more than it could make clients. The listen backlog holds
// every client reconnecting at once, as far as the system allows, and never less than the exact
// node's.
TEST(Sizes, TheFreshTableFollowsTheClients)
{
    struct Case {
        int clients, fresh, perStranger, backlog;
    };
    for (const Case c : {Case{1, 32, 1, 128}, Case{4, 32, 4, 128}, Case{16, 32, 16, 128}, Case{128, 32, 16, 128},
                         Case{1000, 250, 125, 1000}, Case{4096, 1024, 512, 4096}, Case{10000, 2500, 1250, SOMAXCONN},
                         Case{MAX_CLIENTS_LIMIT, 25000, 12500, SOMAXCONN}}) {
        const TableSizes s = sizesFor(c.clients);
        EXPECT_EQ(s.slots, c.clients + 1) << c.clients;
        EXPECT_EQ(s.fresh, c.fresh) << c.clients;
        EXPECT_EQ(s.freshPerStranger, c.perStranger) << c.clients;
        EXPECT_EQ(s.descriptors, s.slots + s.fresh + DESCRIPTOR_MARGIN) << c.clients;
        EXPECT_EQ(s.backlog, c.backlog) << c.clients;
    }
}

TEST(Sizes, TheProfileTakesMaxClientsAndTheExactRepliesKeepFour)
{
    struct Case {
        std::vector<std::string> words;
        int profile;
        int asked;
        bool given;
    };
    const Case cases[] = {
        {{"quorvel", "1", "f"}, 1, DEFAULT_MAX_CLIENTS, false},
        {{"quorvel", "--max-clients", "10000", "1", "f"}, 1, 10000, true},
        {{"quorvel", "1", "--max-clients", "1", "f"}, 1, 1, true},
        {{"quorvel", "1", "f", "--max-clients", "100000"}, 1, MAX_CLIENTS_LIMIT, true},
        {{"quorvel", "--max-clients", "7", "--max-clients", "9", "1", "f"}, 1, 9, true},
        {{"quorvel", "--max-clients", "10000", "1", "f"}, 0, EXACT_CLIENT_SLOTS, true},
        {{"quorvel", "1", "f"}, 0, EXACT_CLIENT_SLOTS, false},
    };
    for (const Case &c : cases) {
        Words w(c.words);
        int argc = w.argc();
        replyMode = c.profile ? Replies::Client : Replies::Exact;
        takeMaxClientsOption(argc, w.pointers.data());
        EXPECT_EQ(clientsAsked(), c.asked) << c.words[1] << " " << c.profile;
        EXPECT_EQ(maxClientsGiven(), c.given) << c.words[1];
        // The option and its value are taken out; the node's own arguments stay in order.
        EXPECT_EQ(argc, 3);
        EXPECT_STREQ(w.pointers[1], "1");
        EXPECT_STREQ(w.pointers[2], "f");
    }
    replyMode = Replies::Exact;
}

TEST(Sizes, AMaxClientsThatIsNoCountEndsTheProcess)
{
    for (const char *bad : {"0", "100001", "-5", "12x", "", " 7", "0x10", "99999999999"}) {
        Words w({"quorvel", "--max-clients", bad, "1", "f"});
        int argc = w.argc();
        EXPECT_EXIT(takeMaxClientsOption(argc, w.pointers.data()), testing::ExitedWithCode(255),
                    "quorvel: invalid --max-clients = .* \\(a number from 1 to 100000\\)")
            << bad;
    }
}

// The most clients whose tables fit the descriptors the system gives: all of them when it gives
// enough, fewer when not, and at least one.
TEST(Sizes, TheDescriptorLimitCapsTheClients)
{
    for (const long long limit : {10LL, 160LL, 161LL, 400LL, 1024LL, 5000LL, 20000LL, 1LL << 20}) {
        const int clients = clientsWithin(4096, limit);
        SCOPED_TRACE(limit);
        ASSERT_GE(clients, 1);
        ASSERT_LE(clients, 4096);
        if (clients > 1) {
            EXPECT_LE(sizesFor(clients).descriptors, limit);
        }
        if (clients < 4096) {
            EXPECT_GT(sizesFor(clients + 1).descriptors, limit);
        }
    }
    EXPECT_EQ(clientsWithin(4096, 20000), 4096);
    EXPECT_EQ(clientsWithin(4, 160), 1) << "too few descriptors for even one client's tables: one is served";
}

// Tables sized for many slots serve them: a client in the last slot is read and answered, and an
// idle peer keeps neither an output block nor a line buffer. Then back to the exact node's.
TEST(Sizes, MappedTablesServeTheirLastSlot)
{
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(300)));
    EXPECT_EQ(slotCount(), 301);
    const int last = 300;
    {
        ClientEnd daemon = attachClient(DAEMON_SLOT);
        int pair[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        occupySlot(last, pair[1]);
        ClientEnd client(last, pair[0], pair[1]);
        EXPECT_EQ(slotReach(), last + 1);
        EXPECT_EQ(freeClientSlot(), FIRST_CLIENT_SLOT);
        client.send("FROB\r\n");
        recvData(last);
        EXPECT_EQ(client.take(), ":testhost 421 FROB :Unknown command\r\n");
        EXPECT_EQ(outBlocksInUse(), 0);
        EXPECT_EQ(inputBuffersHeld(), 0);
        resetConnection(last);
        EXPECT_TRUE(client.hungUp());
    }
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
    EXPECT_EQ(slotCount(), MAX_CONNECTIONS);
}

// Every nick is found in its slot, after thousands of changes and departures that shift the
// index's cells about, as a walk through the table would find it.
TEST(Sizes, NicksAreFoundInAFullTableAfterEveryChange)
{
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(300)));
    std::vector<std::unique_ptr<ClientEnd>> ends;
    occupyEveryClientSlot(ends);
    ASSERT_FALSE(HasFatalFailure());
    std::mt19937 next(7);
    for (int round = 0; round < 5000; ++round) {
        const int slot = FIRST_CLIENT_SLOT + static_cast<int>(next() % 300);
        // Many more nicks than slots, so that many held ones share their first cells.
        const std::string nick = "n" + std::to_string(next() % 3000);
        if (next() % 5 == 0) setNick(slot, "");
        else if (findUser(nick.c_str()) < 0) setNick(slot, nick.c_str());
        const std::string probe = "n" + std::to_string(next() % 3000);
        ASSERT_EQ(findUser(probe.c_str()), walk(probe)) << "round " << round << ", " << probe;
        for (int held = FIRST_CLIENT_SLOT; held < slotCount(); ++held) {
            if (connections[held].nick[0] != '\0') {
                ASSERT_EQ(findUser(connections[held].nick), held) << "round " << round;
            }
        }
    }
    ends.clear();
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
}

// The exact node's table hashes with plain FNV-1a, in either casemapping: every nick is found in
// its slot after churn among many more nicks than cells, so that probe chains cross and shift.
TEST(Sizes, NicksAreFoundInTheExactTableInEitherCasemapping)
{
    for (const int profile : {0, 1}) {
        SCOPED_TRACE(profile ? "client profile" : "exact replies");
        replyMode = profile ? Replies::Client : Replies::Exact;
        resetTables("testhost");
        ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
        std::vector<std::unique_ptr<ClientEnd>> ends;
        occupyEveryClientSlot(ends);
        ASSERT_FALSE(HasFatalFailure());
        std::mt19937 next(11);
        const auto someNick = [&next] { return std::string(next() % 2 ? "n" : "N") + std::to_string(next() % 60); };
        for (int round = 0; round < 3000; ++round) {
            const int slot = FIRST_CLIENT_SLOT + static_cast<int>(next() % EXACT_CLIENT_SLOTS);
            const std::string nick = someNick();
            if (next() % 5 == 0) setNick(slot, "");
            else if (findUser(nick.c_str()) < 0) setNick(slot, nick.c_str());
            const std::string probe = someNick();
            ASSERT_EQ(findUser(probe.c_str()), walk(probe)) << "round " << round << ", " << probe;
            ASSERT_LE(nickProbeLength(probe.c_str()), MAX_CONNECTIONS);
        }
        ends.clear();
    }
    replyMode = Replies::Exact;
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
}

// Nicks chosen to share one home under a hash anyone can compute (FNV-1a, as the index once used)
// do not pile into one probe chain: the index's hash is keyed at start, so a lookup of any of them
// passes few cells, however many such nicks are held.
TEST(Sizes, ChosenNicksDoNotPileIntoOneProbeChain)
{
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(300)));
    constexpr unsigned CELLS_MASK = 1023;  // the index's cells for 301 slots, as an attacker would assume
    const auto fnv = [](const std::string &nick) {
        unsigned hash = 2166136261u;
        for (const char c : nick) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
        return hash & CELLS_MASK;
    };
    std::vector<std::string> chosen;
    for (unsigned i = 0; chosen.size() < 200 && i < 2000000; ++i) {
        const std::string nick = "x" + std::to_string(i);
        if (fnv(nick) == 0) chosen.push_back(nick);
    }
    ASSERT_EQ(chosen.size(), 200u);
    std::vector<std::unique_ptr<ClientEnd>> ends;
    for (size_t i = 0; i < chosen.size(); ++i) {
        const int slot = FIRST_CLIENT_SLOT + static_cast<int>(i);
        int pair[2] = {-1, -1};
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        occupySlot(slot, pair[1]);
        ends.push_back(std::make_unique<ClientEnd>(slot, pair[0], pair[1]));
        setNick(slot, chosen[i].c_str());
    }
    int longest = 0;
    for (size_t i = 0; i < chosen.size(); ++i) {
        ASSERT_EQ(findUser(chosen[i].c_str()), FIRST_CLIENT_SLOT + static_cast<int>(i));
        longest = std::max(longest, nickProbeLength(chosen[i].c_str()));
    }
    EXPECT_LT(longest, 40) << "200 chosen nicks in one chain";
    ends.clear();
    resetTables("testhost");
    ASSERT_TRUE(applyTableSizes(sizesFor(EXACT_CLIENT_SLOTS)));
}

}  // namespace
