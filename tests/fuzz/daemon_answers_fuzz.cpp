// The daemon's answers while messages wait for them: three users, two channels, and five messages
// queued for nicks and channels elsewhere before the input's first byte; the answers' next hops
// are the two neighbours, whose ports take the FORWARD lines, and nodes the file does not list.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/node_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzznode::Node node;
    node.user(1, "alice", "#a");
    node.user(2, "bob", "#a");
    node.user(3, "carol", "&b");
    node.line(1, "PRIVMSG dave :one");
    node.line(2, "PRIVMSG #a :two");
    node.line(3, "PRIVMSG erin,#a,&b :three");
    node.check();
    fuzznode::runRecords(node, data, size);
    return 0;
}
