// The TLS port and the IPv6 listener of a --compat node beside a fake daemon: a TLS client talks
// with a plain one, plain text and a stalled handshake on the TLS port are closed without holding
// a slot, a bad certificate is refused at start and kept out on SIGHUP, and IPv6 clients register.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/fake_daemon.h"
#include "support/irc_client.h"
#include "support/node_process.h"
#include "support/ports.h"

using namespace qtest;

namespace {

// A TCP connection to the port on 127.0.0.1 or ::1, from the IPv4 source when one is named, with
// a receive buffer of that size when one is given; -1 when it is refused or there is no IPv6.
int connectTcp(uint16_t port, bool ipv6, const char *source = nullptr, int receiveBuffer = 0)
{
    const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (receiveBuffer > 0) (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (source) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        from.sin_addr.s_addr = inet_addr(source);
        if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) < 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_storage to{};
    socklen_t length;
    if (ipv6) {
        auto &six = reinterpret_cast<sockaddr_in6 &>(to);
        six.sin6_family = AF_INET6;
        six.sin6_port = htons(port);
        six.sin6_addr = in6addr_loopback;
        length = sizeof six;
    } else {
        reinterpret_cast<sockaddr_in &>(to) = loopbackAddress(port);
        length = sizeof(sockaddr_in);
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&to), length) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool haveIpv6Loopback()
{
    const int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in6 at{};
    at.sin6_family = AF_INET6;
    at.sin6_addr = in6addr_loopback;
    const bool bound = bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) == 0;
    ::close(fd);
    return bound;
}

// A blocking TLS client whose reads give up after the timeout; it trusts any certificate, as the
// node's is self-signed.
class TlsClient {
public:
    TlsClient(uint16_t port, bool ipv6 = false, int receiveBuffer = 0)
    {
        fd_ = connectTcp(port, ipv6, nullptr, receiveBuffer);
        context_ = SSL_CTX_new(TLS_client_method());
        if (fd_ < 0 || !context_) return;
        ssl_ = SSL_new(context_);
        SSL_set_fd(ssl_, fd_);
        setTimeout(5000);
        if (SSL_connect(ssl_) != 1) {
            ERR_clear_error();
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
    }
    ~TlsClient()
    {
        if (ssl_) SSL_free(ssl_);
        if (context_) SSL_CTX_free(context_);
        if (fd_ >= 0) ::close(fd_);
    }
    TlsClient(const TlsClient &) = delete;
    TlsClient &operator=(const TlsClient &) = delete;

    bool connected() const { return ssl_ != nullptr; }
    std::string version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }
    void say(const std::string &line)
    {
        const std::string wire = line + "\r\n";
        ASSERT_EQ(SSL_write(ssl_, wire.data(), static_cast<int>(wire.size())), static_cast<int>(wire.size()));
    }
    // The next line with its CR LF, or "" once the time is up or the node has closed.
    std::string readLine(int ms = 3000)
    {
        setTimeout(ms);
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end + 1);
                buffer_.erase(0, end + 1);
                return line;
            }
            char chunk[4096];
            const int got = SSL_read(ssl_, chunk, sizeof chunk);
            if (got <= 0) {
                ERR_clear_error();
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }
    // Reads lines until one holds `text`; that line, or "".
    std::string lineWith(const std::string &text)
    {
        for (int lines = 0; lines < 40; ++lines) {
            const std::string line = readLine();
            if (line.empty() || line.find(text) != std::string::npos) return line;
        }
        return "";
    }

private:
    void setTimeout(int ms)
    {
        const timeval tv{ms / 1000, (ms % 1000) * 1000};
        (void)setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    int fd_ = -1;
    SSL_CTX *context_ = nullptr;
    SSL *ssl_ = nullptr;
    std::string buffer_;
};

// A self-signed pair in dir, as the launcher makes one; false when openssl failed.
bool makeCertificate(const std::string &dir, const std::string &name)
{
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                                "-subj /CN=localhost -keyout " + dir + "/" + name + ".key -out " + dir + "/" + name +
                                ".crt >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

bool mountNamespacesAllowed() { return std::system("unshare -m true >/dev/null 2>&1") == 0; }

// A --compat node with a TLS port beside a fake daemon, serving on its plain port. With ownHosts
// it runs in a mount namespace whose hosts file names ::1 six.test, so that the reverse lookup of
// an IPv6 client is answered without a query leaving the machine.
struct TlsNode {
    explicit TlsNode(std::vector<std::string> options = {}, bool ownHosts = false)
        : node(ownHosts ? "/usr/bin/unshare" : QUORVEL_BINARY)
    {
        certified = makeCertificate(node.dir(), "node");
        options.insert(options.begin(), {"--compat", "3", node.writeConfig(configLine(3, ports)), "--tls-port",
                                         std::to_string(tlsPort), "--tls-cert", node.dir() + "/node.crt", "--tls-key",
                                         node.dir() + "/node.key"});
        if (ownHosts) {
            const std::string hosts = node.dir() + "/hosts";
            std::ofstream(hosts) << "127.0.0.1 " << clientHost() << "\n::1 six.test\n";
            options.insert(options.begin(), {"-m", "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", hosts,
                                             QUORVEL_BINARY});
        }
        node.start(options);
        first = waitUntilServing(daemon, ports.server);
        // The TLS port opens just after the plain one.
        for (int tries = 0; tries < 250; ++tries) {
            const int fd = connectTcp(tlsPort, false);
            if (fd >= 0) {
                ::close(fd);
                break;
            }
            usleep(20 * 1000);
        }
    }
    // Answers the daemon's question about the nick, past the lines before it.
    void nickIsFree(const std::string &nick)
    {
        std::string asked;
        while (!(asked = daemon.nextLine()).empty() && asked != "NEXTHOP " + nick + "\r\n") {}
        EXPECT_EQ(asked, "NEXTHOP " + nick + "\r\n");
        daemon.send("NONE\r\n");
    }
    FakeDaemon daemon;
    NodeProcess node;
    const NodePorts ports{freePort(), daemon.port(), freePort()};
    const uint16_t tlsPort = freePort();
    bool certified = false;
    LineSocket first;
};

void registerTls(TlsNode &n, TlsClient &c, const std::string &nick)
{
    c.say("NICK " + nick);
    c.say("USER u" + nick + " 0 * :" + nick);
    n.nickIsFree(nick);
    EXPECT_NE(c.lineWith(" 001 " + nick + " "), "") << nick;
    EXPECT_NE(c.lineWith(" 376 " + nick + " "), "") << nick;
}

void registerPlain(TlsNode &n, Client &c)
{
    c.say(c.nickLine());
    c.say(c.userLine());
    n.nickIsFree(c.nick);
    std::string line;
    while (!(line = c.sock.readLine()).empty() && line.find(" 376 ") == std::string::npos) {}
    EXPECT_NE(line, "") << c.nick;
}

TEST(TlsProcess, TlsClientAndPlainClientTalkBothWays)
{
    TlsNode n;
    ASSERT_TRUE(n.certified) << "openssl could not make a certificate";
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    TlsClient alice(n.tlsPort);
    ASSERT_TRUE(alice.connected()) << n.node.err();
    EXPECT_TRUE(alice.version() == "TLSv1.3" || alice.version() == "TLSv1.2") << alice.version();
    registerTls(n, alice, "alice");
    Client bob(std::move(n.first), "bob");
    registerPlain(n, bob);

    alice.say("PRIVMSG bob :over tls");
    EXPECT_EQ(bob.sock.readLine(), ":alice!ualice@" + clientHost() + " PRIVMSG bob :over tls\r\n");
    bob.say("PRIVMSG alice :in plain text");
    EXPECT_EQ(alice.readLine(), ":" + bob.mask() + " PRIVMSG alice :in plain text\r\n");
    // A reply longer than one block of the output queue crosses records whole.
    const std::string longText(400, 'x');
    for (int i = 0; i < 30; ++i) bob.say("PRIVMSG alice :" + std::to_string(i) + longText);
    for (int i = 0; i < 30; ++i)
        EXPECT_EQ(alice.readLine(), ":" + bob.mask() + " PRIVMSG alice :" + std::to_string(i) + longText + "\r\n") << i;
    // Lines that pile up in several blocks while carol, with little room in her socket, reads
    // nothing (within her queue's 64 KiB) leave in records gathered from the blocks, each offered
    // again whole after the socket was full.
    TlsClient carol(n.tlsPort, false, 4096);
    ASSERT_TRUE(carol.connected());
    registerTls(n, carol, "carol");
    for (int i = 0; i < 120; ++i) bob.say("PRIVMSG carol :" + std::to_string(i) + longText);
    bob.say("PING :piled");
    EXPECT_NE(bob.sock.readLine().find(" PONG "), std::string::npos);
    for (int i = 0; i < 120; ++i)
        ASSERT_EQ(carol.readLine(), ":" + bob.mask() + " PRIVMSG carol :" + std::to_string(i) + longText + "\r\n") << i;
    // One full record of lines (168 of 97 bytes): more than a pass reads, so that the rest waits
    // decrypted in the session, where the wait does not see it, and still arrives whole and in order.
    const std::string padding(73, 'y');
    std::string burst;
    for (int i = 100; i < 268; ++i) burst += "PRIVMSG bob :burst " + std::to_string(i) + padding + "\r\n";
    ASSERT_EQ(burst.size(), 168u * 97);
    alice.say(burst.substr(0, burst.size() - 2));
    for (int i = 100; i < 268; ++i)
        ASSERT_EQ(bob.sock.readLine(), ":alice!ualice@" + clientHost() + " PRIVMSG bob :burst " + std::to_string(i) + padding + "\r\n") << i;
    alice.say("QUIT :done");
    int lines = 0;
    while (!alice.readLine().empty() && ++lines < 10) {}
    EXPECT_LT(lines, 10) << "the node should close the connection after QUIT";
}

// What reaches the TLS port that is no TLS: closed, and nothing of IRC is said to it.
TEST(TlsProcess, PlainTextOnTheTlsPortIsClosed)
{
    TlsNode n;
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    struct Case {
        const char *name;
        std::string bytes;
    } cases[] = {
        {"registration", "NICK carol\r\nUSER c 0 * :c\r\n"},
        {"an HTTP request", "GET / HTTP/1.0\r\n\r\n"},
        {"a record header and garbage", std::string("\x16\x03\x01\x00\x05hello", 10)},
    };
    for (const Case &c : cases) {
        LineSocket plain(connectTcp(n.tlsPort, false));
        ASSERT_TRUE(plain.valid()) << c.name;
        plain.send(c.bytes);
        std::string got;
        for (int reads = 0; reads < 10 && !plain.atEnd(); ++reads) got += plain.drain(Millis(300));
        EXPECT_TRUE(plain.atEnd()) << c.name;
        EXPECT_EQ(got.find("NOTICE"), std::string::npos) << c.name;
        EXPECT_EQ(got.find(" 001 "), std::string::npos) << c.name;
    }
    // The node still serves TLS clients.
    TlsClient dave(n.tlsPort);
    ASSERT_TRUE(dave.connected());
    registerTls(n, dave, "dave");
}

// A handshake that never comes holds a fresh entry, not a client slot: with one slot, a plain
// client still registers beside it, and the stalled connection is closed at the limit.
TEST(TlsProcess, StalledHandshakeHoldsNoSlotAndIsDropped)
{
    TlsNode n({"--max-clients", "1", "--log", "info"});
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    // From addresses of their own, as one address may hold only as many fresh entries as slots.
    LineSocket silent(connectTcp(n.tlsPort, false, "127.0.0.2"));
    LineSocket halfHello(connectTcp(n.tlsPort, false, "127.0.0.3"));
    ASSERT_TRUE(silent.valid() && halfHello.valid());
    halfHello.send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01", 8));  // a ClientHello cut short
    usleep(100 * 1000);
    Client erin(std::move(n.first), "erin");
    registerPlain(n, erin);
    // The registration time limit is 30 s; both are closed by then, without a line.
    EXPECT_TRUE(silent.readsEofOnly(Millis(40000)));
    EXPECT_TRUE(halfHello.readsEofOnly(Millis(5000)));
    EXPECT_NE(n.node.err().find("turned a connection away: registration timed out"), std::string::npos) << n.node.err();
    erin.say("PING :still");
    EXPECT_NE(erin.sock.readLine().find(" PONG "), std::string::npos);
}

// A certificate that cannot be read ends the start with its file named; on SIGHUP a bad one keeps
// the one in use, and a good one replaces it.
TEST(TlsProcess, CertificateIsCheckedAtStartAndReloadedOnSighup)
{
    struct Case {
        std::vector<std::string> options;
        int status;
    } cases[] = {{{}, 255}, {{"--check"}, 1}};
    for (const Case &c : cases) {
        NodeProcess bad;
        FakeDaemon daemon;
        const NodePorts ports{freePort(), daemon.port(), freePort()};
        std::vector<std::string> args{"--compat", "3", bad.writeConfig(configLine(3, ports)), "--tls-cert", bad.dir() + "/missing.crt"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        bad.start(args);
        EXPECT_EQ(bad.waitForExit(), c.status);
        EXPECT_NE(bad.err().find("TLS certificate " + bad.dir() + "/missing.crt"), std::string::npos) << bad.err();
    }
    TlsNode n;
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    {
        std::ofstream(n.node.dir() + "/node.crt") << "not a certificate\n";
    }
    kill(n.node.pid(), SIGHUP);
    EXPECT_TRUE(n.node.waitForError("was not reloaded")) << n.node.err();
    {
        TlsClient frank(n.tlsPort);
        ASSERT_TRUE(frank.connected()) << "the old certificate should stay in use";
        registerTls(n, frank, "frank");
    }
    ASSERT_TRUE(makeCertificate(n.node.dir(), "node"));
    kill(n.node.pid(), SIGHUP);
    EXPECT_TRUE(n.node.waitForOutput("reloaded")) << n.node.out();
    TlsClient grace(n.tlsPort);
    ASSERT_TRUE(grace.connected());
    registerTls(n, grace, "grace");
}

// Half a pair is refused at start-up, with a word on what is missing, rather than no TLS port in silence.
TEST(TlsProcess, KeyWithoutCertificateOrCertificateWithoutKeyIsRefused)
{
    struct Case {
        std::vector<std::string> options;
        int status;
        std::string said;
    } cases[] = {
        {{"--tls-key", "/nonexistent/node.key"}, 255, "--tls-key /nonexistent/node.key needs --tls-cert FILE too"},
        {{"--tls-key", "/nonexistent/node.key", "--check"}, 1, "--tls-key /nonexistent/node.key needs --tls-cert FILE too"},
        {{"--tls-cert", "@CERT@"}, 255, "TLS key: no --tls-key given, and none in @CERT@"},
    };
    for (const Case &c : cases) {
        NodeProcess bad;
        FakeDaemon daemon;
        const NodePorts ports{freePort(), daemon.port(), freePort()};
        ASSERT_TRUE(makeCertificate(bad.dir(), "node"));
        const std::string cert = bad.dir() + "/node.crt";
        std::vector<std::string> args{"--compat", "3", bad.writeConfig(configLine(3, ports))};
        std::string said = c.said;
        if (said.find("@CERT@") != std::string::npos) said.replace(said.find("@CERT@"), 6, cert);
        for (std::string option : c.options) args.push_back(option == "@CERT@" ? cert : option);
        bad.start(args);
        EXPECT_EQ(bad.waitForExit(), c.status) << said;
        EXPECT_NE(bad.err().find(said), std::string::npos) << bad.err();
    }
}

// IPv6 clients on ::1, plain and TLS, register under the name of their address and talk with an
// IPv4 one.
TEST(TlsProcess, Ipv6ClientsRegisterOnBothPorts)
{
    if (!haveIpv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1): the IPv6 listener is not tested";
    if (!mountNamespacesAllowed()) GTEST_SKIP() << "mount namespaces are refused here: the lookup of ::1 would leave the machine";
    TlsNode n({"--log", "info"}, true);
    ASSERT_TRUE(n.first.valid()) << n.node.err();
    Client heidi(LineSocket(connectTcp(n.ports.server, true)), "heidi");
    ASSERT_TRUE(heidi.sock.valid()) << n.node.err();
    heidi.say(heidi.nickLine());
    heidi.say(heidi.userLine());
    n.nickIsFree("heidi");
    EXPECT_EQ(heidi.sock.readLine(), fromServer("001 heidi :Welcome to the quorvel IRC network heidi!uheidi@six.test"));
    for (int lines = 0; lines < 20 && heidi.sock.readLine().find(" 376 ") == std::string::npos; ++lines) {}
    TlsClient ivan(n.tlsPort, true);
    ASSERT_TRUE(ivan.connected()) << n.node.err();
    registerTls(n, ivan, "ivan");
    heidi.say("PRIVMSG ivan :six to six");
    EXPECT_EQ(ivan.lineWith("PRIVMSG"), ":heidi!uheidi@six.test PRIVMSG ivan :six to six\r\n");
    Client judy(std::move(n.first), "judy");
    registerPlain(n, judy);
    judy.say("PRIVMSG heidi,ivan :four to six");
    EXPECT_EQ(heidi.sock.readLine(), ":" + judy.mask() + " PRIVMSG heidi :four to six\r\n");
    EXPECT_EQ(ivan.readLine(), ":" + judy.mask() + " PRIVMSG ivan :four to six\r\n");
    // The address text begins with 0: a word that begins with ':' would read as a last parameter.
    EXPECT_NE(n.node.err().find("a client from 0::1 in slot"), std::string::npos) << n.node.err();
}

}  // namespace
