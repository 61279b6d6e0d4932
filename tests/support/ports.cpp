#include "support/ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace qtest {

uint16_t freePort()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) throw std::runtime_error("socket for a free port");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) < 0) {
        close(fd);
        throw std::runtime_error("bind for a free port");
    }
    close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace qtest
