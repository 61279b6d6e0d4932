// The routing daemon's server link over loopback: request lines in arbitrary reads. Every NEXTHOP
// and NEXTHOPS line gets exactly one answer, in order, of the form the server reads; what the link
// announced stays within the tables and is forgotten when the link ends.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <set>
#include <string_view>

#include "routed/codec.h"
#include "routed/server_link.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/routed_link_harness.h"
#include "tests/routed/db_builder.h"

namespace {

using namespace routedfuzz;

// Lets the daemon read everything that has arrived, as its loop would.
void pump()
{
    for (int round = 0; round < 4096 && serverLinkSock() >= 0; ++round) {
        pollfd p{serverLinkSock(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0) return;
        readServer();
    }
}

std::string answers(int fd)
{
    std::string got;
    char chunk[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, 0) > 0) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0) break;
        got.append(chunk, static_cast<size_t>(n));
    }
    return got;
}

// How many answers the requests ask for, when every line is plainly readable (no NUL, none near
// the buffer's length); -1 when the count is not plain, or when the link was a status request.
int expectedAnswers(std::string_view input)
{
    if (input.find('\0') != std::string_view::npos) return -1;
    int expected = 0;
    bool first = true;
    for (size_t start = 0, lf; (lf = input.find('\n', start)) != std::string_view::npos; start = lf + 1) {
        std::string_view line = input.substr(start, lf - start);
        if (line.size() >= REQUEST_SIZE - 2) return -1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (first && line == STATUS_REQUEST) return -1;
        first = false;
        while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
        const std::string_view word = line.substr(0, line.find(' '));
        if (word == "NEXTHOP" || word == "NEXTHOPS") ++expected;
    }
    const size_t lastLf = input.rfind('\n');
    const size_t tail = lastLf == std::string_view::npos ? input.size() : input.size() - lastLf - 1;
    return tail >= REQUEST_SIZE - 2 ? -1 : expected;
}

bool isNumber(std::string_view w)
{
    uint32_t v;
    return readNodeNumber(w, v);
}

// "NONE", or "OK" and node IDs: a next hop and its hop count, or the children of a tree.
void checkAnswer(std::string_view line)
{
    if (line == "NONE" || line == "OK") return;
    FUZZ_CHECK(line.substr(0, 3) == "OK ", "answer %s", printable(line).c_str());
    std::string_view rest = line.substr(3);
    for (size_t space; !rest.empty(); rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1)) {
        space = rest.find(' ');
        FUZZ_CHECK(isNumber(rest.substr(0, space)), "answer %s", printable(line).c_str());
    }
}

// Every fragment of the node's own advertisement encodes, and decodes to routable names, none twice.
void checkOwnAdvert()
{
    const NodeState &self = lsdb.nodes[lsdb.self];
    FUZZ_CHECK(self.users.count() <= MAX_USERS && self.chans.count() <= MAX_CHANNELS, "%d users, %d channels announced",
               self.users.count(), self.chans.count());
    std::set<std::string_view> users, chans;
    static Advert a;
    for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment) {
        fragmentAdvert(self, fragment, a);
        static char text[DATAGRAM_SIZE];
        FUZZ_CHECK(encodeAdvert(text, 1, a) > 0, "fragment %d does not encode", fragment);
        for (int i = 0; i < a.userCount; ++i) {
            FUZZ_CHECK(isRoutableName(a.users[i]), "announced user %s", printable(a.users[i]).c_str());
            FUZZ_CHECK(users.insert(a.users[i]).second, "user %s twice", printable(a.users[i]).c_str());
        }
        for (int i = 0; i < a.chanCount; ++i) {
            FUZZ_CHECK(isRoutableName(a.chans[i]), "announced channel %s", printable(a.chans[i]).c_str());
            FUZZ_CHECK(chans.insert(a.chans[i]).second, "channel %s twice", printable(a.chans[i]).c_str());
        }
    }
    FUZZ_CHECK(static_cast<int>(users.size()) == self.users.count() && static_cast<int>(chans.size()) == self.chans.count(),
               "the fragments hold other names than the tables count");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Node 1 is this one, in a line 1-2-3; 2 hosts bob and #c, 3 hosts carol, #c and &d.
    routedtest::fillDb(lsdb, {1, 2, 3}, 1, {{1, 2}, {2, 3}});
    routedtest::hostUser(lsdb, 2, "bob");
    routedtest::hostChan(lsdb, 2, "#c");
    routedtest::hostUser(lsdb, 3, "carol");
    routedtest::hostChan(lsdb, 3, "#c");
    routedtest::hostChan(lsdb, 3, "&d");
    startServerLink(listener(true), LOOPBACK);
    const int server = connectLink();
    acceptServer();
    FUZZ_CHECK(serverLinkSock() >= 0, "the node's own connection was not taken as the link");

    std::string got;
    forEachRecord(data, size, [&](std::string_view record) {
        if (serverLinkSock() < 0) return;
        if (!record.empty()) (void)::send(server, record.data(), record.size(), MSG_NOSIGNAL);
        pump();
        got += answers(server);
        checkOwnAdvert();
    });
    std::string input(reinterpret_cast<const char *>(data), size);
    std::erase(input, RECORD_SEPARATOR);
    const int expected = expectedAnswers(input);

    int count = 0;
    std::string_view rest(got);
    for (size_t lf; (lf = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(lf + 1)) {
        ++count;
        if (expected >= 0) checkAnswer(rest.substr(0, lf));
    }
    FUZZ_CHECK(rest.empty(), "an answer without its LF: %s", printable(rest).c_str());
    FUZZ_CHECK(expected < 0 || count == expected, "%d answers to %d requests", count, expected);

    ::close(server);
    pump();
    FUZZ_CHECK(serverLinkSock() < 0, "the link outlived its server");
    FUZZ_CHECK(lsdb.nodes[lsdb.self].users.count() == 0 && lsdb.nodes[lsdb.self].chans.count() == 0,
               "a closed link's announcements were kept");
    return 0;
}
