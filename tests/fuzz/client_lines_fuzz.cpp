// Client lines through framing and dispatch, from a node with no users yet: registration, channels,
// messages and every refusal, read in arbitrary pieces, with the daemon link answering too; once
// with the exact replies and once with the client profile.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/node_harness.h"

// Small enough that a few lines meet every limit: the user's joins, a channel's members, the table.
constexpr ChannelLimits PROFILE_LIMITS_MET{3, 2, 2};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        fuzznode::Node node;
        fuzznode::runRecords(node, data, size);
    }
    // The same input in the client profile, where a user is in several channels.
    fuzznode::Node node(MAX_CONNECTIONS - 1, &PROFILE_LIMITS_MET);
    fuzznode::runRecords(node, data, size);
    return 0;
}
