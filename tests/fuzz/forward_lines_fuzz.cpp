// Lines on new connections, from other nodes' addresses and from strangers: FORWARD lines that
// deliver here and travel on, and first lines that make a client of the connection. alice and bob
// share #a (and in the client profile alice is in #b too); slots 3 and 4 are free for the
// connections that turn out to be clients.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/node_harness.h"

constexpr ChannelLimits PROFILE_LIMITS_MET{4, 4, 3};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        fuzznode::Node node(2);
        node.user(1, "alice", "#a");
        node.user(2, "bob", "#a");
        node.check();
        fuzznode::runRecords(node, data, size);
    }
    // The same lines in the client profile, where other nodes' membership notices count too.
    fuzznode::Node node(2, &PROFILE_LIMITS_MET);
    node.user(1, "alice", "#a,#b");
    node.user(2, "bob", "#a");
    node.check();
    fuzznode::runRecords(node, data, size);
    return 0;
}
