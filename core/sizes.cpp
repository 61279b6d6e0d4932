// The table sizes: asked on the command line, met by the descriptor limit, applied once at start-up.
#include "sizes.h"

#include <sys/resource.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../rtlib/rt_args.h"
#include "client_profile.h"
#include "admission.h"
#include "connections.h"
#include "framing.h"
#include "out_queue.h"

TableSizes tableSizes = sizesFor(EXACT_CLIENT_SLOTS);

namespace {

const char *givenMaxClients;
int maxClients = DEFAULT_MAX_CLIENTS;

TableSizer sizers[MAX_TABLE_SIZERS];
int sizerCount;

// Digits only, without a sign or spaces: a count, not whatever strtol makes of a text.
bool readCount(const char *text, int &value)
{
    const size_t length = std::strlen(text);
    if (length == 0 || length > 9) return false;
    for (const char *p = text; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    value = std::atoi(text);
    return true;
}

// The soft limit raised as far as `wanted` and the hard limit allow; the limit in force after.
long long raiseDescriptorLimit(long long wanted)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY || static_cast<long long>(limit.rlim_cur) >= wanted)
        return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<long long>(limit.rlim_cur);
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                      : std::min(static_cast<rlim_t>(wanted), limit.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) return static_cast<long long>(limit.rlim_cur);
    return static_cast<long long>(raised.rlim_cur);
}

}  // namespace

int clientsWithin(int wanted, long long limit)
{
    if (sizesFor(wanted).descriptors <= limit) return wanted;
    // The need grows with the clients: the most that fit is found by halving.
    int fits = 1;
    int tooMany = wanted;
    while (tooMany - fits > 1) {
        const int middle = fits + (tooMany - fits) / 2;
        if (sizesFor(middle).descriptors <= limit) fits = middle;
        else tooMany = middle;
    }
    return fits;
}

void takeMaxClientsOption(int &argc, char **argv)
{
    givenMaxClients = rt_take_valued_option(argc, argv, "--max-clients");
    if (!givenMaxClients) return;
    if (!readCount(givenMaxClients, maxClients) || maxClients < 1 || maxClients > MAX_CLIENTS_LIMIT) {
        std::fprintf(stderr, "%s: invalid --max-clients = %s (a number from 1 to %d)\n", argv[0], givenMaxClients,
                     MAX_CLIENTS_LIMIT);
        std::exit(rt_error_status);
    }
}

bool maxClientsGiven() { return givenMaxClients != nullptr; }

int clientsAsked() { return replyMode == Replies::Client ? maxClients : EXACT_CLIENT_SLOTS; }

void addTableSizer(TableSizer sizer)
{
    if (sizerCount < MAX_TABLE_SIZERS) sizers[sizerCount++] = sizer;
}

bool applyTableSizes(const TableSizes &sizes)
{
    if (!sizeConnectionTable(sizes) || !sizeFreshTable(sizes) || !sizeOutputPool(sizes) || !sizeInputBuffers(sizes) ||
        !sizeOutputLists(sizes))
        return false;
    for (int i = 0; i < sizerCount; ++i)
        if (!sizers[i](sizes)) return false;
    tableSizes = sizes;
    return true;
}

void sizeTables(const char *prog)
{
    const int asked = clientsAsked();
    const TableSizes wanted = sizesFor(asked);
    const long long limit = raiseDescriptorLimit(wanted.descriptors);
    // The exact replies keep their four clients; a node short of descriptors turns connections away.
    const int clients = replyMode == Replies::Client ? clientsWithin(asked, limit) : asked;
    if (limit < wanted.descriptors) {
        std::fprintf(stderr, "%s: the system allows %lld open files (RLIMIT_NOFILE), %d would be needed for %d clients\n",
                     prog, limit, wanted.descriptors, asked);
        if (clients < asked) std::fprintf(stderr, "%s: serving at most %d clients\n", prog, clients);
    }
    if (!applyTableSizes(sizesFor(clients))) {
        std::fprintf(stderr, "%s: no memory for the tables of %d clients\n", prog, clients);
        std::exit(1);
    }
}
