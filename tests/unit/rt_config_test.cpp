// rt_parse_config_file: which files describe a network, and how each bad one is reported.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "rtlib/rt_config.h"

namespace {

// A file of the given text under /tmp, removed when the test is done.
class TempFile {
public:
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/quorvel_config_XXXXXX";
        int fd = mkstemp(name);
        if (fd < 0) std::perror("mkstemp");
        path_ = name;
        if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::perror("write");
        close(fd);
    }
    ~TempFile() { unlink(path_.c_str()); }
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

std::string nodeLines(int count)
{
    std::string text;
    for (int i = 1; i <= count; ++i) text += std::to_string(i) + " 127.0.0.1 100 200 300\n";
    return text;
}

rt_config_file_t parse(const std::string &text)
{
    TempFile f(text);
    rt_config_file_t cfg{};
    cfg.count = -1;
    rt_parse_config_file("prog", &cfg, f.path());
    return cfg;
}

void expectBadLine(const std::string &text)
{
    TempFile f(text);
    rt_config_file_t cfg{};
    EXPECT_EXIT(rt_parse_config_file("prog", &cfg, f.path()), testing::ExitedWithCode(255),
                "prog: bad line in config_file");
}

TEST(ConfigFile, EntriesAreDenseAcrossBlankLines)
{
    rt_config_file_t cfg = parse("1 127.0.0.1 10 20 30\n\n2 localhost 11 21 31\n");
    ASSERT_EQ(cfg.count, 2);
    EXPECT_EQ(cfg.entries[0].nodeID, 1u);
    EXPECT_EQ(cfg.entries[0].ipaddr, 0x7f000001u);
    EXPECT_EQ(cfg.entries[0].routing_port, 10);
    EXPECT_EQ(cfg.entries[0].local_port, 20);
    EXPECT_EQ(cfg.entries[0].server_port, 30);
    EXPECT_EQ(cfg.entries[1].nodeID, 2u);
    EXPECT_EQ(cfg.entries[1].server_port, 31);
}

// Comments, however many and however long, hold no node and do not count towards the limit.
TEST(ConfigFile, CommentLinesAreSkipped)
{
    const std::string comment = "# " + std::string(300, 'c') + "\n  \t# indented\n";
    rt_config_file_t cfg = parse(comment + nodeLines(16) + comment + comment + nodeLines(16) + "#");
    EXPECT_EQ(cfg.count, 32);
    EXPECT_EQ(cfg.entries[16].nodeID, 1u);
}

TEST(ConfigFile, EmptyFileHasNoNodes) { EXPECT_EQ(parse("").count, 0); }

TEST(ConfigFile, WideValuesAndExtraFields)
{
    rt_config_file_t cfg = parse("4294967295 127.0.0.1 0 65535 1 extra words\r\n  7 127.0.0.1 1 2 3");
    ASSERT_EQ(cfg.count, 2);
    EXPECT_EQ(cfg.entries[0].nodeID, 4294967295u);
    EXPECT_EQ(cfg.entries[0].local_port, 65535);
    EXPECT_EQ(cfg.entries[0].server_port, 1);
    EXPECT_EQ(cfg.entries[1].nodeID, 7u);
}

TEST(ConfigFile, LineLimit)
{
    EXPECT_EQ(parse(nodeLines(32)).count, 32);
    // Blank lines count towards the limit too, wherever they stand.
    for (const std::string &text : {nodeLines(32) + "\n", nodeLines(16) + "\n" + nodeLines(16),
                                    nodeLines(32) + "# after the last\n33 127.0.0.1 1 2 3"}) {
        TempFile f(text);
        rt_config_file_t cfg{};
        EXPECT_EXIT(rt_parse_config_file("prog", &cfg, f.path()), testing::ExitedWithCode(255),
                    "prog: too many lines in config_file \\(max = 32\\)");
    }
}

TEST(ConfigFile, BadLines)
{
    for (const char *text : {"   \n", "\r\n", "1 127.0.0.1 10 20\n", "x 127.0.0.1 10 20 30\n",
                             "1 127.0.0.1 10 20 65536\n", "1 127.0.0.1 -1 20 30\n",
                             "-1 127.0.0.1 10 20 30\n", "  -0 127.0.0.1 10 20 30\n",
                             "4294967296 127.0.0.1 10 20 30\n", "1 127.0.0.1 10 20 30\n 2 x\n"}) {
        SCOPED_TRACE(text);
        expectBadLine(text);
    }
}

// A 64-character label is refused by the resolver before any query leaves the machine.
TEST(ConfigFile, UnresolvableHost)
{
    const std::string name = std::string(64, 'a') + ".invalid";
    TempFile f("1 " + name + " 10 20 30\n");
    rt_config_file_t cfg{};
    EXPECT_EXIT(rt_parse_config_file("prog", &cfg, f.path()), testing::ExitedWithCode(255),
                "prog: invalid hostname in config file = " + name + "\n");
}

TEST(ConfigFile, MissingFile)
{
    std::string path;
    {
        TempFile gone("");
        path = gone.path();
    }
    rt_config_file_t cfg{};
    EXPECT_EXIT(rt_parse_config_file("prog", &cfg, path.c_str()), testing::ExitedWithCode(255),
                "prog: can't open config_file = " + path + ": No such file or directory");
}

}  // namespace
