// rt_parse_command_line: defaults, number forms, refused options and the cycle-time warnings.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "rtlib/rt_args.h"
#include "rtlib/rt_options_file.h"

namespace {

// getopt permutes argv, so the arguments live in writable storage owned by the test.
class Argv {
public:
    Argv(std::initializer_list<const char *> words)
    {
        for (const char *w : words) storage_.emplace_back(w, w + std::char_traits<char>::length(w) + 1);
        for (auto &s : storage_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(pointers_.size()) - 1; }
    char **argv() { return pointers_.data(); }

private:
    std::vector<std::vector<char>> storage_;
    std::vector<char *> pointers_;
};

struct Parsed {
    rt_args_t args;
    int returned;
    std::string err;
};

Parsed parse(std::initializer_list<const char *> words)
{
    Argv a(words);
    Parsed p{};
    optind = 0;  // makes GNU getopt start over instead of resuming the previous scan
    std::fflush(stderr);
    testing::internal::CaptureStderr();
    p.returned = rt_parse_command_line(&p.args, a.argc(), a.argv());
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

void expectRefused(std::initializer_list<const char *> words, const std::string &message)
{
    Argv a(words);
    rt_args_t args{};
    optind = 0;
    EXPECT_EXIT(rt_parse_command_line(&args, a.argc(), a.argv()), testing::ExitedWithCode(255), message);
}

std::string warning(const char *name, unsigned value, unsigned cycle)
{
    return "prog: warning: " + std::string(name) + " (" + std::to_string(value) +
           ") is not a multiple of advertisement_cycle_time (" + std::to_string(cycle) + ")\n";
}

TEST(CommandLine, Defaults)
{
    Parsed p = parse({"prog", "1", "f.conf"});
    EXPECT_EQ(p.args.verbose, 0u);
    EXPECT_EQ(p.args.advertisement_cycle_time, 30u);
    EXPECT_EQ(p.args.neighbor_timeout, 120u);
    EXPECT_EQ(p.args.route_timeout, 3u);
    EXPECT_EQ(p.args.garbage_collect_timeout, 120u);
    EXPECT_EQ(p.args.nodeID, 0xFFFFFFFFu);
    EXPECT_EQ(p.err, "");
}

TEST(CommandLine, OptionIndexIsRestored)
{
    Parsed p = parse({"prog", "1", "f.conf", "-r", "5", "-v", "1"});
    EXPECT_EQ(p.returned, 0);
    EXPECT_EQ(optind, 0);
    EXPECT_EQ(p.args.route_timeout, 5u);
}

TEST(CommandLine, OptionsMayPrecedeThePositionalArguments)
{
    Parsed p = parse({"prog", "-r", "7", "1", "-v", "1", "f.conf"});
    EXPECT_EQ(p.args.route_timeout, 7u);
    EXPECT_EQ(p.args.verbose, 1u);
}

TEST(CommandLine, CycleTimeWarnings)
{
    EXPECT_EQ(parse({"prog", "1", "f.conf", "-a", "40"}).err, "");
    Parsed p = parse({"prog", "1", "f.conf", "-a", "50"});
    EXPECT_EQ(p.args.advertisement_cycle_time, 50u);
    EXPECT_EQ(p.err, warning("neighbor_timeout", 120, 50) + warning("lsa_timeout", 120, 50));
}

TEST(CommandLine, NumbersInCNotation)
{
    Parsed octal = parse({"prog", "1", "f.conf", "-n", "010"});
    EXPECT_EQ(octal.args.neighbor_timeout, 8u);
    EXPECT_EQ(octal.err, warning("neighbor_timeout", 8, 30));

    Parsed hex = parse({"prog", "1", "f.conf", "-n", "0x1e"});
    EXPECT_EQ(hex.args.neighbor_timeout, 30u);
    EXPECT_EQ(hex.err, "");

    // White space after the digits ends the number; what follows it is not read.
    EXPECT_EQ(parse({"prog", "1", "f.conf", "-r", "5 x"}).args.route_timeout, 5u);
    EXPECT_EQ(parse({"prog", "1", "f.conf", "-v", "2"}).args.verbose, 2u);
    EXPECT_EQ(parse({"prog", "1", "f.conf", "-i", "4294967295"}).args.nodeID, 4294967295u);
    EXPECT_EQ(parse({"prog", "1", "f.conf", "-G", "whatever"}).err, "");
}

TEST(CommandLine, RefusedValues)
{
    expectRefused({"prog", "1", "f.conf", "-r", "5x"}, "prog: invalid route_timeout = 5x");
    expectRefused({"prog", "1", "f.conf", "-v", "junk"}, "prog: invalid verbose = junk");
    expectRefused({"prog", "1", "f.conf", "-a", "0"}, "prog: invalid advertisement_cycle_time = 0");
    expectRefused({"prog", "1", "f.conf", "-a", "4294967296"}, "prog: invalid advertisement_cycle_time = 4294967296");
    expectRefused({"prog", "1", "f.conf", "-n", "-1"}, "prog: invalid neighbor_timeout = -1");
}

TEST(CommandLine, RefusedOptions)
{
    expectRefused({"prog", "1", "f.conf", "-g", "10"}, "prog: unknown argument -g");
    expectRefused({"prog", "1", "f.conf", "-V"}, "prog: unknown argument -V");
    expectRefused({"prog", "1", "f.conf", "-t", "10"}, "");
    expectRefused({"prog", "1", "f.conf", "-a"}, "");
}

}  // namespace

namespace {

// The words an options file gives after the command line's own, or the fault it is refused for.
TEST(OptionsFile, AssignmentsBecomeWordsAfterTheCommandLine)
{
    struct Case {
        const char *text;
        std::vector<std::string> words;  // after "prog x"
        const char *fault;
    };
    for (const Case &c : std::vector<Case>{
             {"# c\n\n  A=\"-a 10  -n 30\"\nexport B='--log info'\nC=-v1\nD=\n", {"-a", "10", "-n", "30", "--log", "info", "-v1"}, nullptr},
             {"A=\"x\" # after\n", {}, "line 1: text after the value"},
             {"A=\"-a 10\n", {}, "line 1: a quote is not closed"},
             {"\nA=$HOME\n", {}, "line 2: ., ` and . are not read"},
             {"-a 10\n", {}, "line 1: not a NAME=value assignment"},
         }) {
        SCOPED_TRACE(c.text);
        char path[] = "/tmp/quorvel-options-test-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, c.text, std::strlen(c.text)), static_cast<ssize_t>(std::strlen(c.text)));
        ::close(fd);
        Argv args({"prog", "--options", path, "x"});
        int argc = args.argc();
        char **argv = args.argv();
        if (c.fault) {
            EXPECT_EXIT(rt_take_options_files("prog", argc, argv), testing::ExitedWithCode(255), c.fault);
        } else {
            rt_take_options_files("prog", argc, argv);
            std::vector<std::string> got(argv + 2, argv + argc);
            EXPECT_EQ(std::string(argv[1]), "x");
            EXPECT_EQ(got, c.words);
            EXPECT_STREQ(rt_last_option_value(argv, argc, "-v"), "1");
            EXPECT_STREQ(rt_last_option_value(argv, argc, "--log"), "info");
        }
        ::unlink(path);
    }
}

}  // namespace
