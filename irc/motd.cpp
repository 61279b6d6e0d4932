// The message of the day. The file is read with open and read into a fixed buffer, as a reload
// happens while the node serves and nothing is allocated then.
#include "motd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../core/client_profile.h"
#include "../core/connections.h"
#include "../core/server.h"
#include "../rtlib/rt_args.h"
#include "replies.h"

namespace {

constexpr int MOTD_LINES_MAX = 64;
constexpr int MOTD_LINE_MAX = 400;  // what fits in a 372 line beside the server name and a nick
constexpr char FMT_372_MOTD_LINE[] = ":%s 372 %s :- %s";

const char *motdPath;
char motdLines[MOTD_LINES_MAX][MOTD_LINE_MAX + 1];
int motdCount;  // 0: the one line of old

// Only the client profile reads its MOTD from a file: the exact replies keep their fixed one.
bool readsMotdFile() { return motdPath != nullptr && replyMode == Replies::Client; }

// The lines of `text`, CR LF or LF ended, each cut to MOTD_LINE_MAX, control bytes left out.
void keepLines(const char *text, size_t length)
{
    motdCount = 0;
    size_t at = 0;
    while (at < length && motdCount < MOTD_LINES_MAX) {
        char *line = motdLines[motdCount++];
        size_t used = 0;
        for (; at < length && text[at] != '\n'; ++at)
            if (static_cast<unsigned char>(text[at]) >= ' ' && used < MOTD_LINE_MAX) line[used++] = text[at];
        line[used] = '\0';
        ++at;
    }
}

}  // namespace

void takeMotdOption(int &argc, char **argv) { motdPath = rt_take_valued_option(argc, argv, "--motd"); }

bool motdGiven() { return motdPath != nullptr; }

void loadMotd()
{
    if (!readsMotdFile()) return;
    static char text[MOTD_LINES_MAX * (MOTD_LINE_MAX + 2)];
    // A FIFO or a device could block the loop: only a regular file is read.
    const int fd = open(motdPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    size_t length = 0;
    ssize_t got = 0;
    struct stat info {};
    if (fd >= 0 && (fstat(fd, &info) < 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        std::fprintf(stderr, "quorvel: the MOTD file %s is not a regular file; the MOTD stays as it was\n", motdPath);
        return;
    }
    if (fd >= 0) {
        while (length < sizeof text && (got = read(fd, text + length, sizeof text - length)) > 0) length += static_cast<size_t>(got);
        close(fd);
    }
    if (fd < 0 || got < 0) {
        std::fprintf(stderr, "quorvel: the MOTD file %s cannot be read (%s); the MOTD stays as it was\n", motdPath,
                     std::strerror(errno));
        return;
    }
    keepLines(text, length);
}

void reloadMotd()
{
    if (!readsMotdFile()) {
        std::printf("SIGHUP: nothing to read again (no --motd in the client profile)\n");
        std::fflush(stdout);
        return;
    }
    loadMotd();
    std::printf("SIGHUP: the MOTD has %d line(s) from %s\n", motdCount, motdPath);
    std::fflush(stdout);
}

void sendMotdLines(int slot, const char *nick)
{
    if (motdCount == 0) return replyf(slot, FMT_372_MOTD, serverName(), nick);
    for (int i = 0; i < motdCount; ++i) replyf(slot, FMT_372_MOTD_LINE, serverName(), nick, motdLines[i]);
}
