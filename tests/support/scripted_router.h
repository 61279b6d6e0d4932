// A routing daemon that answers by itself, from a fixed table, so that several real nodes can
// pass messages along while the test only drives their clients.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_daemon.h"

namespace qtest {

class ScriptedRouter {
public:
    // Keys are requests as the node sends them, without CR LF ("NEXTHOP carol", "NEXTHOPS 1 #c");
    // values are the answer lines without LF ("OK 2 1"). A request missing from the table is
    // answered "NONE".
    using Table = std::map<std::string, std::string>;

    ScriptedRouter() = default;
    ~ScriptedRouter();  // stops the answering thread and joins it
    ScriptedRouter(const ScriptedRouter &) = delete;
    ScriptedRouter &operator=(const ScriptedRouter &) = delete;

    uint16_t port() const { return daemon_.port(); }
    void setTable(Table table);
    // Takes the node's link, then answers from a thread: one line for every NEXTHOP and
    // NEXTHOPS, in the order of the requests, and none for anything else.
    bool start(Millis timeout = Millis(5000));

    // Every line the node has sent, CR LF included, in arrival order.
    std::vector<std::string> received() const;
    // Waits until the line (CR LF included) has arrived `count` times in all.
    bool waitFor(const std::string &line, Millis timeout = Millis(3000), size_t count = 1) const;

private:
    void answerLoop();

    FakeDaemon daemon_;
    mutable std::mutex mutex_;
    Table table_;
    std::vector<std::string> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qtest
