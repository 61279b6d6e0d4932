// Stands in for the C library's reverse lookup in the in-process tests, so that USER never
// sends a DNS query and the name it stores is known: 127.0.0.1 is "client.test", 127.0.0.9 has a
// name longer than any field, and every other address has no name.
#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>
#include <string>

#include "support/resolver_stub.h"

namespace {

hostent entry;
std::string officialName;

}  // namespace

extern "C" hostent *gethostbyaddr(const void *addr, socklen_t len, int type)
{
    if (len != sizeof(in_addr_t) || type != AF_INET) return nullptr;
    in_addr_t a;
    std::memcpy(&a, addr, sizeof a);
    if (a == inet_addr("127.0.0.1")) officialName = STUB_CLIENT_HOST;
    else if (a == inet_addr(STUB_LONG_NAME_IP)) officialName = std::string(STUB_LONG_NAME_LENGTH, 'h');
    else return nullptr;
    entry = {};
    entry.h_name = officialName.data();
    entry.h_addrtype = AF_INET;
    entry.h_length = sizeof(in_addr_t);
    return &entry;
}
