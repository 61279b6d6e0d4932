// The neighbour lists after a configuration line's five fields, and the digest of the network a
// file describes, read from real files.

#include "routed/config_digest.h"
#include "routed/topology.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

class Topologies : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/routed-topology-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        for (const std::string &file : files_) std::remove(file.c_str());
        rmdir(dir_.c_str());
    }

    std::string write(const std::string &text)
    {
        const std::string path = dir_ + "/config" + std::to_string(files_.size());
        files_.push_back(path);
        FILE *out = std::fopen(path.c_str(), "w");
        EXPECT_NE(out, nullptr);
        std::fputs(text.c_str(), out);
        std::fclose(out);
        return path;
    }

    // As the daemon does: the configuration reader first, then the links.
    Topology readPath(const std::string &path)
    {
        rt_parse_config_file("routed", &config_, path.c_str());
        Topology t;
        readTopology("routed", path.c_str(), config_, t);
        return t;
    }

    Topology read(const std::string &text) { return readPath(write(text)); }

    ConfigDigest digest(const std::string &text)
    {
        const Topology t = read(text);
        return configDigest(config_, t);
    }

    // The linked pairs by node ID, each once with the lower ID first.
    std::vector<std::pair<uint32_t, uint32_t>> links(const Topology &t) const
    {
        std::vector<std::pair<uint32_t, uint32_t>> out;
        for (int a = 0; a < config_.count; ++a)
            for (int b = 0; b < config_.count; ++b) {
                EXPECT_EQ(t.linked[a][b], t.linked[b][a]);
                const uint32_t x = config_.entries[a].nodeID, y = config_.entries[b].nodeID;
                if (t.linked[a][b] && x < y) out.push_back({x, y});
            }
        return out;
    }

    static std::string line(uint32_t id, const std::string &links = "", const char *end = "\n")
    {
        const std::string n = std::to_string(id);
        return n + " 127.0.0." + n + " 2" + n + "00 2" + n + "01 2" + n + "02" + links + end;
    }

    std::string dir_;
    std::vector<std::string> files_;
    rt_config_file_t config_{};
};

using Links = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(Topologies, NoLinksListedIsAFullMesh)
{
    EXPECT_EQ(links(read(line(1) + line(2) + line(3))), (Links{{1, 2}, {1, 3}, {2, 3}}));
    EXPECT_EQ(links(read(line(1, "", "\r\n") + line(2, " ", "\r\n") + line(3, "\t", "\r\n"))),
              (Links{{1, 2}, {1, 3}, {2, 3}}));
}

TEST_F(Topologies, ALinkNamedByOneEndServesBoth)
{
    EXPECT_EQ(links(read(line(1, " 2") + line(2) + line(3, " 2"))), (Links{{1, 2}, {2, 3}}));
    EXPECT_EQ(links(read(line(3, " 1 2") + line(1, " 3") + line(2, "  3  "))), (Links{{1, 3}, {2, 3}}));
    // A blank line holds no node: the entries after it must stay with their own lines.
    EXPECT_EQ(links(read(line(1, " 3") + "\n" + line(2) + line(3))), (Links{{1, 3}}));
}

TEST_F(Topologies, CrLfLinesEndTheNeighbourList)
{
    EXPECT_EQ(links(read(line(1, " 2", "\r\n") + line(2, "", "\r\n") + line(3, " 2", "\r\n"))),
              (Links{{1, 2}, {2, 3}}));
    EXPECT_EQ(links(read(line(1, " 2 ", "\r\n") + line(2, "", "\r\n") + line(3, "", ""))), (Links{{1, 2}}));
}

// Files that describe one network agree however they are written; any change the daemons act on
// makes them differ, each from all the others.
TEST_F(Topologies, TheDigestFollowsTheNetworkNotTheSpelling)
{
    const ConfigDigest mesh = digest(line(1) + line(2) + line(3));
    for (const std::string &same : {line(3) + line(1) + line(2), line(1, "", "\r\n") + "\n" + line(2, "  ") + line(3, "\t"),
                                    line(1, " 2 3") + line(2, " 3") + line(3), line(1, " 2") + line(2, " 3 1") + line(3, " 1")})
        EXPECT_TRUE(digest(same) == mesh) << same;

    std::vector<ConfigDigest> others{mesh};
    for (const std::string &other :
         {line(1, " 2") + line(2, " 3") + line(3),               // a line instead of a mesh
          line(1, " 3") + line(2, " 3") + line(3),               // another line
          line(1) + line(2),                                     // a node fewer
          line(1) + line(2) + line(4),                           // another ID
          line(1) + line(2) + "3 127.0.0.9 2300 2301 2302\n",    // another address
          line(1) + line(2) + "3 127.0.0.3 2309 2301 2302\n",    // each port in turn
          line(1) + line(2) + "3 127.0.0.3 2300 2309 2302\n",
          line(1) + line(2) + "3 127.0.0.3 2300 2301 2309\n"}) {
        const ConfigDigest d = digest(other);
        for (const ConfigDigest &seen : others) EXPECT_FALSE(d == seen) << other;
        others.push_back(d);
    }
}

TEST_F(Topologies, BadNeighbourWordsEndTheProcess)
{
    for (const char *links : {" x", " 2x", " +2", " -2", " 2,3", " 9", " 1", " 4294967296"}) {
        SCOPED_TRACE(links);
        const std::string path = write(line(1, links) + line(2) + line(3));
        EXPECT_EXIT(readPath(path), ::testing::ExitedWithCode(255), "bad neighbour list in config_file");
    }
    const std::string path = write(line(1) + line(2) + line(3, " 3", "\r\n"));
    EXPECT_EXIT(readPath(path), ::testing::ExitedWithCode(255), "bad neighbour list in config_file");
}

}  // namespace
