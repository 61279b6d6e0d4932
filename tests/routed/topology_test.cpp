// The neighbour lists after a configuration line's five fields, read from real files.

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
