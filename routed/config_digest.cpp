// The configuration's digest through libsodium's generic hash (BLAKE2b).
//
// It covers the parsed network rather than the file's bytes: two machines that copied the same
// network with other line ends, spacing, blank lines, node order, or a full mesh spelt out instead
// of left implicit, run the same network and must agree; any difference in what the daemons act
// on (an ID, an address, a port, a link) must not. Addresses enter as resolved, so a host name
// that resolves elsewhere on another machine counts as the difference it is.
#include "config_digest.h"

#include <sodium.h>

#include <algorithm>
#include <numeric>

namespace {

// Fixed-width big-endian fields, so that no two networks feed the hash the same bytes.
class DigestInput {
public:
    DigestInput() { crypto_generichash_init(&state_, nullptr, 0, CONFIG_DIGEST_SIZE); }
    void field(uint64_t value, int bytes)
    {
        unsigned char out[8];
        for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * (bytes - 1 - i)));
        crypto_generichash_update(&state_, out, static_cast<unsigned long long>(bytes));
    }
    ConfigDigest finish()
    {
        ConfigDigest out{};
        crypto_generichash_final(&state_, out.bytes, CONFIG_DIGEST_SIZE);
        return out;
    }

private:
    crypto_generichash_state state_{};
};

}  // namespace

ConfigDigest configDigest(const rt_config_file_t &config, const Topology &topology)
{
    // The hash needs no randomness, the one thing whose absence would make this fail.
    [[maybe_unused]] const int started = sodium_init();
    int byId[MAX_NODES];
    std::iota(byId, byId + config.count, 0);
    std::sort(byId, byId + config.count,
              [&](int a, int b) { return config.entries[a].nodeID < config.entries[b].nodeID; });
    DigestInput in;
    in.field(static_cast<uint64_t>(config.count), 4);
    for (int i = 0; i < config.count; ++i) {
        const rt_config_entry_t &e = config.entries[byId[i]];
        in.field(e.nodeID, 4);
        in.field(e.ipaddr, 4);
        in.field(e.routing_port, 2);
        in.field(e.local_port, 2);
        in.field(e.server_port, 2);
    }
    // Each link once, as the pair of positions in ID order.
    for (int i = 0; i < config.count; ++i)
        for (int j = i + 1; j < config.count; ++j)
            if (topology.linked[byId[i]][byId[j]]) {
                in.field(static_cast<uint64_t>(i), 1);
                in.field(static_cast<uint64_t>(j), 1);
            }
    return in.finish();
}
