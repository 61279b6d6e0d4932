// Slots picked out of the connection table for the loop to visit, so that a pass costs what its
// busy peers do and not what the table holds: those with output queued, those marked to be dropped,
// those still unregistered, those whose input is paused. A slot is in a list at most once; whoever
// walks a list looks at the slot's present state, so an entry whose peer has left is passed over.
#pragma once

#include <algorithm>
#include <cstddef>

#include "limits.h"
#include "table_memory.h"

class SlotList {
public:
    bool empty() const { return count_ == 0; }

    void add(int slot)
    {
        if (listed_[slot]) return;
        listed_[slot] = 1;
        entries_[count_++] = slot;
    }

    void clear()
    {
        for (int i = 0; i < count_; ++i) listed_[entries_[i]] = 0;
        count_ = 0;
    }

    // Visits the entries in slot order; `keep(slot)` says whether one stays. What a visit adds, to
    // this list too, waits for the next walk.
    template <typename Keep>
    void walk(Keep keep)
    {
        const int visiting = count_;
        std::sort(entries_, entries_ + visiting);
        std::copy(entries_, entries_ + visiting, visiting_);
        clear();
        for (int i = 0; i < visiting; ++i)
            if (keep(visiting_[i])) add(visiting_[i]);
    }

    // Looks at every entry, in the order they came.
    template <typename Look>
    void forEach(Look look) const
    {
        for (int i = 0; i < count_; ++i) look(entries_[i]);
    }

    // Storage for `slots` slots: the exact node's arrays, or a zeroed mapping; false when the
    // memory is refused. The list is empty after.
    bool size(int slots)
    {
        const auto n = static_cast<size_t>(slots);
        void *mapping = nullptr;
        const size_t bytes = n * (2 * sizeof(int) + 1);
        if (n > MAX_CONNECTIONS && !(mapping = mapZeroed(bytes))) return false;
        clear();
        unmapZeroed(mapping_, mappingBytes_);
        mapping_ = mapping;
        mappingBytes_ = mapping ? bytes : 0;
        entries_ = mapping ? static_cast<int *>(mapping) : exactEntries_;
        visiting_ = mapping ? entries_ + n : exactVisiting_;
        listed_ = mapping ? reinterpret_cast<unsigned char *>(visiting_ + n) : exactListed_;
        return true;
    }

private:
    int exactEntries_[MAX_CONNECTIONS] = {};
    int exactVisiting_[MAX_CONNECTIONS] = {};
    unsigned char exactListed_[MAX_CONNECTIONS] = {};
    int *entries_ = exactEntries_;
    int *visiting_ = exactVisiting_;
    unsigned char *listed_ = exactListed_;
    int count_ = 0;
    void *mapping_ = nullptr;
    size_t mappingBytes_ = 0;
};
