// The quorvel program: one node of a network of IRC servers.
#include <csignal>
#include <cstdio>

#include "../irc/dispatch.h"
#include "../irc/profile.h"
#include "../routing/daemon_link.h"
#include "../rtlib/rt_args.h"
#include "server.h"

int main(int argc, char **argv)
{
    makeStandardDescriptorsValid();
    // Sends already never raise it; this keeps a closed pipe on standard output (traces piped into
    // a pager that quit) from ending the node.
    std::signal(SIGPIPE, SIG_IGN);
    // Taken before anything reads argv, so that every other argument stands where it would without it.
    takeProfileOption(argc, argv);
    init_node(argc, argv);
    rt_parse_command_line(&argList, argc, argv);
    if (argList.verbose == 1)
        std::printf("I am node %lu and I listen on port %d for new users\n",
                    static_cast<unsigned long>(curr_nodeID), curr_node_config_entry->server_port);
    // The layers above the core take their places in the loop before it starts.
    wireIrc();
    wireRouting();
    beginServer();
}
