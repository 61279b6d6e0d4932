// recvData: how bytes from one read become lines, and what waits in the slot's buffer afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "core/connections.h"
#include "core/framing.h"
#include "support/client_end.h"
#include "support/expected_lines.h"
#include "support/tables.h"

namespace {

constexpr int SLOT = 2;
std::string unknownCommand(const std::string &word) { return expected::unknownCommand("testhost", word); }

class Framing : public ::testing::Test {
protected:
    // One read by the server of what the test has just written.
    void feed(const std::string &bytes)
    {
        client.send(bytes);
        recvData(SLOT);
    }
    std::string buffer() const { return std::string(lineInProgress(SLOT), strnlen(lineInProgress(SLOT), LINE_SIZE)); }
    // The zeroing behind a shifted fragment matters: the next read appends at the first NUL.
    bool bufferTailZero(size_t from) const
    {
        for (size_t i = from; i < LINE_SIZE; ++i)
            if (lineInProgress(SLOT)[i] != '\0') return false;
        return true;
    }

    FreshTables tables{"testhost"};
    ClientEnd daemon = attachClient(DAEMON_SLOT);
    ClientEnd client = attachClient(SLOT);
};

TEST_F(Framing, LineSeparators)
{
    feed("\n\nAAA\nBBB\n\n\nCCC\n");
    EXPECT_EQ(client.take(), unknownCommand("AAA") + unknownCommand("BBB") + unknownCommand("CCC"));
    EXPECT_EQ(buffer(), "");
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Framing, CarriageReturnCostsTheLastCharacter)
{
    feed("AAA\r\n");
    EXPECT_EQ(client.take(), unknownCommand("AAA"));
    // The CR need not be at the end: the line still loses its last character, and the CR kept
    // inside ends the echo of the command, so the reply stays one line.
    feed("ab\rcd\n");
    EXPECT_EQ(client.take(), ":testhost 421 ab\r\n");
    feed("\r\n\r\n\r\nX\r\r\n");
    EXPECT_EQ(client.take(), ":testhost 421 X\r\n");
    EXPECT_EQ(buffer(), "");
}

TEST_F(Framing, OnlySeparatorsHandNothingOn)
{
    // The trace shows every line that reaches the command processor, even one that draws no reply.
    argList.verbose = 1;
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    for (const char *text : {"\n", "\n\n\n\n", "\r\n", "\r\n\r\n\r\n"}) {
        SCOPED_TRACE(text);
        feed(text);
        EXPECT_EQ(client.take(), "");
        EXPECT_EQ(buffer(), "");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(Framing, FragmentWaitsForItsLineFeed)
{
    feed("\nAAA\nBB");
    EXPECT_EQ(client.take(), unknownCommand("AAA"));
    EXPECT_EQ(buffer(), "BB");
    EXPECT_TRUE(bufferTailZero(2));

    feed("B");
    EXPECT_EQ(client.take(), "");
    EXPECT_EQ(buffer(), "BBB");

    feed("\n\nCC\nDDDD");
    EXPECT_EQ(client.take(), unknownCommand("BBB") + unknownCommand("CC"));
    EXPECT_EQ(buffer(), "DDDD");
    EXPECT_TRUE(bufferTailZero(4));

    feed("\r\n");
    EXPECT_EQ(client.take(), unknownCommand("DDDD"));
    EXPECT_EQ(buffer(), "");
}

// A slot holds a buffer only while a line is in progress: whole lines leave none behind, so that
// idle clients hold none, and a peer that leaves in the middle of a line gives its buffer back.
TEST_F(Framing, OnlyALineInProgressHoldsABuffer)
{
    feed("AAA\nBBB\n");
    EXPECT_EQ(inputBuffersHeld(), 0);
    feed("CC");
    EXPECT_EQ(inputBuffersHeld(), 1);
    feed("C\r\n");
    EXPECT_EQ(inputBuffersHeld(), 0);
    EXPECT_EQ(client.take(), unknownCommand("AAA") + unknownCommand("BBB") + unknownCommand("CCC"));
    feed("DD");
    client.closeMine();
    recvData(SLOT);
    EXPECT_EQ(connections[SLOT].sock, 0);
    EXPECT_EQ(inputBuffersHeld(), 0);
}

TEST_F(Framing, ZeroByteEndsTheText)
{
    feed(std::string("AAA\nBBB\n\0CCC\n", 13));
    EXPECT_EQ(client.take(), unknownCommand("AAA") + unknownCommand("BBB"));
    EXPECT_EQ(buffer(), "");

    feed(std::string("X\nYY\0ZZ\n", 8));
    EXPECT_EQ(client.take(), unknownCommand("X") + unknownCommand("YY"));
    EXPECT_EQ(buffer(), "");
    EXPECT_TRUE(bufferTailZero(0));
}

// The line up to the zero is the line, and its LF still ends it, however the reads split it: no
// line is glued to the next or lost.
TEST_F(Framing, ZeroByteCutsOnlyItsOwnLine)
{
    const std::string bytes("AAA\0cd\r\nBBB\r\n\0x\nCCC\r\n", 21);
    for (size_t split : {0u, 3u, 4u, 5u, 8u, 14u, 16u}) {
        SCOPED_TRACE(split);
        if (split > 0) feed(bytes.substr(0, split));
        feed(bytes.substr(split));
        EXPECT_EQ(client.take(), unknownCommand("AAA") + unknownCommand("BBB") + unknownCommand("CCC"));
        EXPECT_EQ(buffer(), "");
    }
}

// 511 characters and CR LF are 513 bytes: one too many. The profile says so once per line lost.
TEST_F(Framing, TooLongLinesDrawOne417EachInTheProfileOnly)
{
    const std::string longLine = std::string(511, 'a') + "\r\n";
    const std::string longer = std::string(900, 'b') + "\n";
    for (int profile : {0, 1}) {
        SCOPED_TRACE(profile);
        replyMode = profile ? Replies::Client : Replies::Exact;
        const std::string tooLong = profile ? ":testhost 417 * :Input line was too long\r\n" : "";
        const auto unknown = [&](const std::string &word) {
            return profile ? ":testhost 421 * " + word + " :Unknown command\r\n" : unknownCommand(word);
        };
        feed(longLine + "AB\r\n" + longer + "CD\r\n");
        EXPECT_EQ(client.take(), tooLong + unknown("AB") + tooLong + unknown("CD"));
        EXPECT_EQ(buffer(), "");
    }
}

TEST_F(Framing, LineThatFillsTheBufferIsGivenUpUpToItsLineFeed)
{
    feed(std::string(512, 'a'));
    EXPECT_EQ(buffer(), "");
    EXPECT_EQ(client.take(), "");

    feed(std::string(88, 'a'));
    EXPECT_EQ(buffer(), "");
    EXPECT_EQ(client.take(), "");

    // The rest of the long line goes with it, up to its LF; nothing of it prefixes the next line.
    feed("aaa\nAAA\n");
    EXPECT_EQ(client.take(), unknownCommand("AAA"));
}

TEST_F(Framing, ReadsOnUntilTheSocketIsEmpty)
{
    feed("LONG");
    // The first read takes the 508 bytes that fit behind the fragment, ending in the LF; the next
    // read takes the Z.
    feed(std::string(507, 'x') + "\nZ");
    EXPECT_EQ(client.take(), unknownCommand("LONG" + std::string(507, 'x')).substr(0, 509) + "\r\n");
    EXPECT_EQ(buffer(), "Z");
}

TEST_F(Framing, NothingSentIsLostBehindAFragment)
{
    feed(std::string(300, 'p'));
    ASSERT_EQ(buffer().size(), 300u);
    // 212 bytes join: 100, the LF, then 111 that wait; the last 88 come with the next read.
    const std::string tail = std::string(111, 't');
    feed(std::string(100, 'q') + "\n" + tail + std::string(88, 'L'));
    const std::string line = std::string(300, 'p') + std::string(100, 'q');
    EXPECT_EQ(client.take(), unknownCommand(line));
    EXPECT_EQ(buffer(), tail + std::string(88, 'L'));
    EXPECT_TRUE(bufferTailZero(tail.size() + 88));
    feed("\n");
    EXPECT_EQ(client.take(), unknownCommand(tail + std::string(88, 'L')));
}

TEST_F(Framing, OnlyAFragmentThatFillsTheBufferIsGivenUp)
{
    // Pending 300 plus the 212 bytes that fit, without LF: the buffer is full, and the next read
    // gives the line up together with the rest of it.
    feed(std::string(300, 'p'));
    feed(std::string(300, 'q'));
    EXPECT_EQ(buffer(), "");
    feed("q\nAB\n");
    EXPECT_EQ(client.take(), unknownCommand("AB"));

    // However TCP splits it, a 511-character line still has room for its LF.
    for (size_t first : {2u, 300u, 511u}) {
        SCOPED_TRACE(first);
        const std::string line = "A" + std::string(510, 'c');
        feed(line.substr(0, first));
        if (first < line.size()) feed(line.substr(first));
        EXPECT_EQ(buffer().size(), 511u);
        feed("\n");
        EXPECT_EQ(client.take(), unknownCommand(line).substr(0, 509) + "\r\n");
        EXPECT_EQ(buffer(), "");
    }
}

// One pass takes at most the budget from a peer, so others are served between its lines.
TEST_F(Framing, OnePassReadsAPeerOnlyUpToItsBudget)
{
    const std::string line = "X" + std::string(98, 'x') + "\n";  // 100 bytes
    const int lines = 2 * READ_BUDGET / 100;
    std::string burst;
    for (int i = 0; i < lines; ++i) burst += line;
    client.send(burst);
    int answered = 0;
    for (int pass = 0; pass < 3 && answered < lines; ++pass) {
        recvData(SLOT);
        const std::string got = client.take();
        const int now = static_cast<int>(std::count(got.begin(), got.end(), '\n'));
        EXPECT_LE(now, READ_BUDGET / 100 + 1) << "pass " << pass;
        answered += now;
    }
    EXPECT_EQ(answered, lines);
}

TEST_F(Framing, BytesAfterAZeroNeverReachALaterLine)
{
    feed(std::string("NICK ab\0QQQQQQQQ", 16));
    feed("c\r\n");
    EXPECT_EQ(client.take(), "");  // NICK ab from an unregistered client: nothing to say yet
    EXPECT_STREQ(connections[SLOT].nick, "ab");
    feed("WHO x\r\n");
    EXPECT_EQ(client.take(), ":testhost 431 :No such channel exists on this server\r\n");
}

TEST_F(Framing, EndOfStreamFreesTheSlot)
{
    setNick(SLOT, "alice");
    connections[SLOT].registered = 1;
    feed("pend");
    client.closeMine();
    recvData(SLOT);
    EXPECT_EQ(connections[SLOT].sock, 0);
    EXPECT_STREQ(connections[SLOT].nick, "");
    EXPECT_EQ(connections[SLOT].registered, 0);
    EXPECT_EQ(buffer(), "");
    EXPECT_STREQ(connections[SLOT].ip, "127.0.0.1");
    EXPECT_EQ(daemon.take(), "REMOVEUSER alice\r\n");
}

TEST_F(Framing, EndOfStreamWithoutNickTellsNobody)
{
    client.closeMine();
    recvData(SLOT);
    EXPECT_EQ(connections[SLOT].sock, 0);
    EXPECT_EQ(daemon.take(), "");
}

TEST_F(Framing, DaemonLinkClosingWritesNothing)
{
    setNick(DAEMON_SLOT, DAEMON_NICK);
    setNick(SLOT, "alice");
    daemon.closeMine();
    recvData(DAEMON_SLOT);
    EXPECT_EQ(connections[DAEMON_SLOT].sock, 0);
    EXPECT_STREQ(connections[DAEMON_SLOT].nick, "");
    EXPECT_EQ(client.take(), "");
    EXPECT_NE(connections[SLOT].sock, 0);
}

TEST(Shift, CopiesDownWithinOneBuffer)
{
    char area[16] = "....hello";
    EXPECT_EQ(shift(area, area + 4, sizeof area - 4), 6);
    EXPECT_STREQ(area, "hello");

    // The source room bounds the copy even without a terminator in it.
    char bounded[16] = "..abcdef";
    EXPECT_EQ(shift(bounded, bounded + 2, 3), 4);
    EXPECT_STREQ(bounded, "abc");

    char empty[4] = "";
    EXPECT_EQ(shift(empty, empty, sizeof empty), 0);
    EXPECT_EQ(shift(empty, nullptr, 8), 0);
    EXPECT_EQ(shift(empty, "abc", 0), 0);
}

}  // namespace
