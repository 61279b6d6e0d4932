// Client lines through framing and dispatch, from a node with no users yet: registration, channels,
// messages and every refusal, read in arbitrary pieces, with the daemon link answering too.
#include <cstddef>
#include <cstdint>

#include "tests/fuzz/node_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzznode::Node node;
    fuzznode::runRecords(node, data, size);
    return 0;
}
