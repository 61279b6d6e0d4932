// The node with the network's key (--key): it takes its daemon's link only by answering the
// daemon's challenge with the key's proof, at start-up and on every reconnect, and then routes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>

#include "rtlib/rt_key.h"
#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

constexpr char KEY[] = "0123456789abcdef0123456789abcdef";

std::string writeKey(const NodeProcess &node, mode_t mode)
{
    const std::string path = node.dir() + "/network.key";
    std::ofstream(path) << KEY;
    chmod(path.c_str(), mode);
    return path;
}

// The line a server with KEY must answer the challenge with, computed on the test's side.
std::string proofLine(const std::string &path, const std::string &challenge)
{
    EXPECT_TRUE(rt_load_key("test", path.c_str()));
    char proof[2 * RT_MAC_SIZE + 1];
    rt_server_link_proof(1, challenge.c_str(), proof);
    rt_forget_key();
    return "AUTH " + std::string(proof) + "\r\n";
}

}  // namespace

TEST(Key, TheServerProvesTheKeyBeforeItLinksAndAgainOnReconnect)
{
    FakeDaemon daemon;
    const NodePorts self{freePort(), daemon.port(), freePort()};
    NodeProcess node;
    const std::string key = writeKey(node, 0600);
    node.start({"1", node.writeConfig(configLine(1, self)), "--key", key, "-v", "0"});
    ASSERT_TRUE(daemon.acceptLink()) << node.err();
    LineSocket first = connectWithRetry(self.server);
    ASSERT_TRUE(first.valid()) << node.err();
    Client alice(std::move(first), "alice");
    ASSERT_TRUE(signOn(alice));
    // Nothing reaches the daemon before the challenge is answered.
    EXPECT_EQ(daemon.nextLine(Millis(200)), "");
    const std::string challenge(RT_CHALLENGE_HEX, 'a');
    ASSERT_TRUE(daemon.send("CHALLENGE " + challenge + "\n"));
    EXPECT_EQ(daemon.nextLine(), proofLine(key, challenge));
    EXPECT_EQ(daemon.nextLine(), "ADDUSER alice\r\n");
    alice.say("PRIVMSG bob :hi");
    EXPECT_EQ(daemon.nextLine(), "NEXTHOP bob\r\n");
    ASSERT_TRUE(daemon.send("NONE\n"));
    EXPECT_NE(alice.sock.readLine().find(" 401 "), std::string::npos);

    // The daemon ends the link: the node connects again and answers the new challenge.
    daemon.closeLink();
    ASSERT_TRUE(daemon.acceptLink());
    const std::string next(RT_CHALLENGE_HEX, '7');
    ASSERT_TRUE(daemon.send("CHALLENGE " + next + "\r\n"));
    EXPECT_EQ(daemon.nextLine(), proofLine(key, next));
    EXPECT_EQ(daemon.nextLine(), "ADDUSER alice\r\n");
    EXPECT_EQ(node.err(), "");
}

TEST(Key, KeyFilesOthersMayReadAreWarnedOfAndBadOnesRefused)
{
    FakeDaemon daemon;
    const NodePorts self{freePort(), daemon.port(), freePort()};
    for (const char *prog : {QUORVEL_BINARY, QUORVEL_ROUTED_BINARY}) {
        NodeProcess node(prog);
        const std::string key = writeKey(node, 0644), config = node.writeConfig(configLine(1, self));
        const bool daemonProg = std::string(prog) == QUORVEL_ROUTED_BINARY;
        const std::vector<std::string> keyArgs = daemonProg ? std::vector<std::string>{"-k", key}
                                                            : std::vector<std::string>{"--key", key};
        // A short key: refused whatever its mode, with the warning first.
        ASSERT_EQ(truncate(key.c_str(), 8), 0);
        std::vector<std::string> args = daemonProg ? std::vector<std::string>{"-i", "1", "-c", config}
                                                   : std::vector<std::string>{"1", config};
        args.insert(args.end(), keyArgs.begin(), keyArgs.end());
        node.start(args);
        EXPECT_EQ(node.waitForExit(), 255) << prog;
        EXPECT_NE(node.err().find("warning: key file " + key + " is accessible by group or others"), std::string::npos)
            << node.err();
        EXPECT_NE(node.err().find("must hold 16 to 1024 bytes"), std::string::npos) << node.err();
    }
}
