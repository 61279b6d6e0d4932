// The first line of a connection to the daemon's local port, with and without the key, beside a
// live link or not. Only the node's connection without a key and without a live link, or one that
// proves the key for its own challenge, ever becomes the link; a status request is answered and
// closed; every other connection is closed by its first line or its patience, and a live link it
// met is still the link.
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/clock.h"
#include "routed/server_link.h"
#include "rtlib/rt_key.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/routed_link_harness.h"
#include "tests/routed/db_builder.h"

namespace {

using namespace routedfuzz;

enum Mode : uint8_t { KEYED = 1, LIVE_LINK = 2, PROVEN = 4 };

void loadKey(bool keyed)
{
    rt_forget_key();
    if (!keyed) return;
    char path[] = "/tmp/quorvel-fuzz-key-XXXXXX";
    const int fd = mkstemp(path);
    FUZZ_CHECK(fd >= 0 && write(fd, "0123456789abcdef0123456789abcdef", 32) == 32, "cannot write a key");
    close(fd);
    FUZZ_CHECK(rt_load_key("fuzz", path), "the key does not load");
    unlink(path);
}

// Everything that has arrived is read, as the daemon's loop would, at the loop time now.
void pump(long long now)
{
    for (int round = 0; round < 4096; ++round) {
        fd_set ready;
        FD_ZERO(&ready);
        int high = -1;
        watchServerLink(ready, high);
        FD_CLR(listener(), &ready);
        timeval none = {0, 0};
        const int n = select(high + 1, &ready, nullptr, nullptr, &none);
        if (n < 0) FD_ZERO(&ready);  // libFuzzer's timer may interrupt the wait: nothing is known ready
        if (n <= 0) return serveServerLink(ready, now);
        serveServerLink(ready, now);
        FUZZ_CHECK(serverWaitingCount() <= WAITING_PEERS, "%d connections wait", serverWaitingCount());
    }
}

std::string received(int fd)
{
    std::string got;
    char chunk[4096];
    for (ssize_t n; (n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;) got.append(chunk, static_cast<size_t>(n));
    return got;
}

std::string firstLine(std::string_view input)
{
    const size_t lf = input.find('\n');
    if (lf == std::string_view::npos) return "";
    std::string_view line = input.substr(0, lf);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    routedtest::fillDb(lsdb, {1, 2}, 1, {{1, 2}});
    loadKey(mode & KEYED);
    startServerLink(listener(true), LOOPBACK);
    const long long start = nowMillis();

    // A live link first: without a key the node's address links, with one the proof does.
    int old = -1;
    if (mode & LIVE_LINK) {
        old = connectLink();
        acceptServer();
        if (mode & KEYED) {
            pump(start);
            const std::string challenge = received(old);
            char proof[2 * RT_MAC_SIZE + 1];
            rt_server_link_proof(1, challenge.substr(10, RT_CHALLENGE_HEX).c_str(), proof);
            const std::string auth = "AUTH " + std::string(proof) + "\n";
            (void)send(old, auth.data(), auth.size(), MSG_NOSIGNAL);
            pump(start);
        }
        FUZZ_CHECK(serverLinkSock() >= 0, "the first server did not link");
    }
    const int oldLink = serverLinkSock();

    const int newcomer = connectLink();
    acceptServer();
    const bool linkedAtOnce = serverLinkSock() != oldLink;
    FUZZ_CHECK(linkedAtOnce == (!(mode & KEYED) && !(mode & LIVE_LINK)), "mode %u: linked at once: %d", mode,
               linkedAtOnce);
    pump(start);
    std::string got = received(newcomer);
    FUZZ_CHECK(((mode & KEYED) != 0) == (got.rfind("CHALLENGE ", 0) == 0), "mode %u: greeting %s", mode,
               printable(got).c_str());
    std::string input;
    if ((mode & KEYED) && (mode & PROVEN) && got.size() >= 10 + RT_CHALLENGE_HEX) {
        char proof[2 * RT_MAC_SIZE + 1];
        rt_server_link_proof(1, got.substr(10, RT_CHALLENGE_HEX).c_str(), proof);
        input = "AUTH " + std::string(proof) + "\r\n";
        (void)send(newcomer, input.data(), input.size(), MSG_NOSIGNAL);
    }
    forEachRecord(data + 1, size - 1, [&](std::string_view record) {
        input.append(record);
        if (!record.empty()) (void)send(newcomer, record.data(), record.size(), MSG_NOSIGNAL);
        pump(start);
    });
    got += received(newcomer);

    const std::string first = firstLine(input);
    const bool proven = (mode & KEYED) && (mode & PROVEN) && first.rfind("AUTH ", 0) == 0;
    const bool link = serverLinkSock() >= 0 && serverLinkSock() != oldLink;
    if (first == "STATUS" && !linkedAtOnce)
        FUZZ_CHECK(got.find("\nend\n") != std::string::npos, "a status request got %s", printable(got).c_str());
    else if (!linkedAtOnce && !proven)
        FUZZ_CHECK(!link, "mode %u: %s became the link", mode, printable(input).c_str());
    if (proven) FUZZ_CHECK(link, "a proven server did not link");
    if (!link && !linkedAtOnce && oldLink >= 0) FUZZ_CHECK(serverLinkSock() == oldLink, "the live link was lost");

    // Past every patience nothing waits; closing the newcomer and the old server ends the link.
    const long long patienceOver = nowMillis() + RT_AUTH_PATIENCE_MS;
    pump(patienceOver);
    FUZZ_CHECK(serverWaitingCount() == 0, "%d connections still wait", serverWaitingCount());
    close(newcomer);
    if (old >= 0) close(old);
    pump(patienceOver);
    FUZZ_CHECK(serverLinkSock() < 0, "the link outlived its servers");
    rt_forget_key();
    return 0;
}
