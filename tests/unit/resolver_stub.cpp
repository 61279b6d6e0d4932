// Stands in for the node's reverse lookup in the in-process tests, so that USER never sends a DNS
// query and the name it stores is known at once: 127.0.0.1 is "client.test", 127.0.0.9 has a
// name longer than any field, and every other address has no name.
#include <string>

#include "core/connections.h"
#include "irc/host_lookup.h"
#include "irc/registration.h"
#include "support/resolver_stub.h"

namespace {

void nothing() {}

}  // namespace

bool stubDefersLookups = false;

bool sizeHostLookups(const TableSizes &) { return true; }

void initHostLookup() {}

void startHostLookup(int slot)
{
    const Connection &c = connections[slot];
    if (stubDefersLookups) return;
    const std::string ip = c.ip;
    const std::string longName(STUB_LONG_NAME_LENGTH, 'h');
    const char *name = ip == "127.0.0.1" ? STUB_CLIENT_HOST : ip == STUB_LONG_NAME_IP ? longName.c_str() : nullptr;
    hostNameFound(slot, c.serial, name);
}

Poller hostLookupPoller() { return {nothing, nothing}; }
