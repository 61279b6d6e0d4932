// Pipelined message streams: one writer that sends numbered PRIVMSG lines as fast as the node takes
// them (optionally within a window), and readers that check every numbered line that arrives.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <chrono>

#include "support/irc_client.h"

namespace qbench {

using Clock = std::chrono::steady_clock;
using qtest::Client;
using qtest::Millis;

// What the writer thread did; filled in by it and read once it has been joined.
struct WriterResult {
    uint64_t sent = 0;             // complete lines written
    Clock::time_point firstSend;   // just before the first byte left
    std::string inbound;           // what the sender itself received meanwhile (first bytes only)
    uint64_t inboundBytes = 0;
    std::string error;             // empty unless the socket failed
};

struct WriterPlan {
    std::string linePrefix;        // "PRIVMSG b :"; the sequence number and CR LF follow
    uint64_t count = 0;            // lines 1..count at most
    Clock::time_point stopSending; // no new batch is started after this
    // The highest sequence number that may be sent now; nullptr for no limit.
    std::function<uint64_t()> allowedUpTo;
};

// Runs on its own thread; stops at a batch boundary so that no line is ever left half-sent.
void runWriter(int fd, const WriterPlan &plan, const std::atomic<bool> &abort, WriterResult &result);

// One receiver's check of the lines "<expectPrefix><seq>" for seq = 1, 2, ...
struct StreamCheck {
    Client *client = nullptr;
    std::string expectPrefix;      // ":a PRIVMSG b :"
    uint64_t maxSeq = 0;           // the highest number the writer may send
    uint64_t next = 1;             // the sequence number expected next
    uint64_t ok = 0;               // lines that were exactly the expected one
    uint64_t bad = 0;              // lines that were not the expected one
    std::string firstBad;          // the first of them, with what was expected
    Clock::time_point lastArrival;
    std::string buffer;
    bool closed = false;
};

struct ReadPlan {
    // The writer's final count once it has finished, or UINT64_MAX while it still sends.
    const std::atomic<uint64_t> *finalCount = nullptr;
    Millis stallLimit = Millis(3000);   // no line for this long ends the wait
    Clock::time_point hardDeadline;
    // The lowest number that every stream has reached (lost lines included), for the writer's window.
    std::atomic<uint64_t> *slowestSeen = nullptr;
};

// Reads all streams until each has seen the final count, a stall, or the deadline.
// Returns false unless every stream saw every line; why says what ended the wait early.
bool readStreams(std::vector<StreamCheck> &streams, const ReadPlan &plan, std::string &why);
// For each stream that did not get all sent lines intact: how many, and the first wrong one.
std::string describeStreams(const std::vector<StreamCheck> &streams, uint64_t sent);

}  // namespace qbench
