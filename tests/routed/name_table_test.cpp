// The name tables against a plain model: long runs of random inserts, retirements, purges and
// dropped fragments, in a table small enough that its index wraps and fills, so that a lookup
// lost by a deletion that moved the wrong entry shows.

#include "routed/name_table.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int SMALL = 64;
using Table = NameTable<SMALL>;

// What the table should hold: by fragment, every entry in the order it came, live or retired.
struct Model {
    std::map<int, std::vector<std::pair<std::string, bool>>> fragments;

    int entries() const
    {
        int n = 0;
        for (const auto &[f, list] : fragments) n += static_cast<int>(list.size());
        return n;
    }
    std::pair<std::string, bool> *entry(int fragment, const std::string &name)
    {
        for (auto &e : fragments[fragment])
            if (e.first == name) return &e;
        return nullptr;
    }
    std::vector<std::string> live(int fragment) const
    {
        std::vector<std::string> out;
        if (const auto it = fragments.find(fragment); it != fragments.end())
            for (const auto &[name, isLive] : it->second)
                if (isLive) out.push_back(name);
        return out;
    }
    bool holds(const std::string &name) const
    {
        for (const auto &[f, list] : fragments)
            for (const auto &[n, isLive] : list)
                if (isLive && n == name) return true;
        return false;
    }
};

std::vector<std::string> namesIn(const Table &t, int fragment)
{
    std::vector<std::string> out;
    t.forEachIn(fragment, [&](std::string_view name) { out.emplace_back(name); });
    return out;
}

void expectSame(const Table &t, const Model &m, const std::vector<std::string> &universe)
{
    int live = 0;
    for (int f = 0; f < 4; ++f) {
        const std::vector<std::string> want = m.live(f);
        ASSERT_EQ(namesIn(t, f), want) << "fragment " << f;
        int bytes = 0;
        for (const std::string &n : want) bytes += static_cast<int>(n.size()) + 1;
        ASSERT_EQ(t.bytesIn(f), bytes) << "fragment " << f;
        ASSERT_EQ(t.countIn(f), static_cast<int>(want.size())) << "fragment " << f;
        live += static_cast<int>(want.size());
    }
    ASSERT_EQ(t.count(), live);
    for (const std::string &name : universe) ASSERT_EQ(t.contains(name), m.holds(name)) << name;
}

TEST(NameTable, AgreesWithAModelThroughRandomChurn)
{
    // Zeroed like the daemon's static tables: all zero is the empty table.
    const auto storage = std::make_unique<Table>();
    Table &t = *storage;
    Model m;
    std::vector<std::string> universe;
    for (int i = 0; i < 3 * SMALL; ++i) universe.push_back("n" + std::to_string(i * 7919 % 1000));
    std::mt19937 rng(20240611);
    int fills = 0;
    for (int step = 0; step < 20000; ++step) {
        const std::string &name = universe[rng() % universe.size()];
        const int fragment = static_cast<int>(rng() % 4);
        switch (rng() % 7) {
        case 0: case 1: case 2: {  // as a receiver takes names: the same one may sit in two fragments
            auto *e = m.entry(fragment, name);
            const bool taken = t.insert(name, fragment);
            ASSERT_EQ(taken, e != nullptr || m.entries() < SMALL);
            fills += !taken;
            if (e) e->second = true;
            else if (taken) m.fragments[fragment].push_back({name, true});
            break;
        }
        case 3: case 4: {  // as the origin withdraws one: its entry stays until purged
            const int left = t.retire(name);
            ASSERT_EQ(left >= 0, m.holds(name));
            if (left < 0) break;
            auto *e = m.entry(left, name);
            ASSERT_TRUE(e && e->second);
            e->second = false;
            // Retired in several fragments (it came back elsewhere and went again), any of them.
            const int back = t.retiredFragment(name);
            ASSERT_GE(back, 0);
            const auto *r = m.entry(back, name);
            EXPECT_TRUE(r && !r->second);
            break;
        }
        case 5:
            t.purgeRetired(fragment);
            std::erase_if(m.fragments[fragment], [](const auto &e) { return !e.second; });
            break;
        default:
            if (rng() % 8) break;
            t.dropFragment(fragment);
            m.fragments.erase(fragment);
            break;
        }
        ASSERT_NO_FATAL_FAILURE(expectSame(t, m, universe)) << "step " << step;
    }
    EXPECT_GT(fills, 0) << "the table never filled: the test does not reach its limit";
    t.clear();
    EXPECT_EQ(t.count(), 0);
    for (const std::string &name : universe) EXPECT_FALSE(t.contains(name));
    EXPECT_TRUE(t.insert(universe[0], 2)) << "cleared entries are free again";
}

// A full table takes nothing more, and a freed entry is room again; a retired name that comes
// back to its fragment takes no entry of its own.
TEST(NameTable, FullTableAndRetiredNames)
{
    const auto storage = std::make_unique<Table>();
    Table &t = *storage;
    for (int i = 0; i < SMALL; ++i) ASSERT_TRUE(t.insert("u" + std::to_string(i), i % 3));
    EXPECT_FALSE(t.insert("late", 0));
    EXPECT_EQ(t.retire("u4"), 1);
    EXPECT_FALSE(t.contains("u4"));
    EXPECT_EQ(t.retiredFragment("u4"), 1);
    EXPECT_FALSE(t.insert("late", 0)) << "a retired entry still holds its place";
    EXPECT_TRUE(t.insert("u4", 1)) << "its own name takes it back";
    EXPECT_EQ(t.fragmentOf("u4"), 1);
    EXPECT_EQ(t.retire("u4"), 1);
    t.purgeRetired(1);
    EXPECT_EQ(t.retiredFragment("u4"), -1);
    EXPECT_TRUE(t.insert("late", 0));
    EXPECT_EQ(t.count(), SMALL);
    EXPECT_EQ(t.retire("nobody"), -1);
}

}  // namespace
