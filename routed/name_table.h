// One node's names of one kind, users or channels, each with the fragment of the node's
// advertisement it travels in. A hash index answers "does this node host it" in a few probes,
// however many names the node has; a chain per fragment gives a fragment's names in the order
// they came, to encode it or to replace it when a newer copy arrives.
//
// All zero is the empty table, so the tables of nodes that announce little cost no memory beyond
// the pages they touch. Nothing is allocated: the capacity is fixed.
#pragma once

#include <sodium.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "limits.h"

template <int CAPACITY>
class NameTable {
    static_assert(CAPACITY < UINT16_MAX && (CAPACITY & (CAPACITY - 1)) == 0, "indices fit 16 bits; probes mask");
    static_assert(MAX_FRAGMENTS <= UINT8_MAX, "a fragment number fits a byte");

public:
    static constexpr int capacity() { return CAPACITY; }

    int count() const { return live_; }
    int countIn(int fragment) const { return fragments_[fragment].live; }
    // Each live name of the fragment with the space before it, as the datagram spends them.
    int bytesIn(int fragment) const { return fragments_[fragment].bytes; }

    bool contains(std::string_view name) const { return find(name, true) >= 0; }

    // The fragment the name is live in, or -1.
    int fragmentOf(std::string_view name) const
    {
        const int e = find(name, true);
        return e < 0 ? -1 : entries_[e].fragment;
    }

    // Takes a live name into the fragment; false only when every entry is in use. A name that the
    // fragment holds already stays once; one that another fragment holds is held twice (while a
    // name moves, the two fragments' new copies may arrive one after the other).
    bool insert(std::string_view name, int fragment)
    {
        const uint32_t hash = hashOf(name);
        for (int slot = home(hash); slots_[slot]; slot = next(slot)) {
            Entry &e = entries_[slots_[slot] - 1];
            if (e.hash == hash && e.fragment == fragment && e.view() == name) return revive(e);
        }
        const int index = allocate();
        if (index < 0) return false;
        Entry &e = entries_[index];
        std::memset(e.name, 0, sizeof e.name);
        std::memcpy(e.name, name.data(), name.size());
        e.hash = hash;
        e.length = static_cast<uint8_t>(name.size());
        e.fragment = static_cast<uint8_t>(fragment);
        e.live = false;
        e.next = 0;
        Fragment &f = fragments_[fragment];
        if (f.tail) entries_[f.tail - 1].next = static_cast<uint16_t>(index + 1);
        else f.head = static_cast<uint16_t>(index + 1);
        f.tail = static_cast<uint16_t>(index + 1);
        int slot = home(hash);
        while (slots_[slot]) slot = next(slot);
        slots_[slot] = static_cast<uint16_t>(index + 1);
        return revive(e);
    }

    // Takes a live name out but keeps its entry, and so its fragment, until purgeRetired: a name
    // that comes back before its change goes out returns to the fragment it left. The fragment
    // the name was in, or -1 when it was not live.
    int retire(std::string_view name)
    {
        const int e = find(name, true);
        if (e < 0) return -1;
        Entry &entry = entries_[e];
        entry.live = false;
        --live_;
        --fragments_[entry.fragment].live;
        fragments_[entry.fragment].bytes -= entry.length + 1;
        return entry.fragment;
    }

    // The fragment a retired name was last in, or -1.
    int retiredFragment(std::string_view name) const
    {
        const int e = find(name, false);
        return e < 0 ? -1 : entries_[e].fragment;
    }

    // Frees the entries of the fragment's retired names.
    void purgeRetired(int fragment)
    {
        unlinkWhere(fragment, [](const Entry &e) { return !e.live; });
    }

    // Forgets every name of the fragment.
    void dropFragment(int fragment)
    {
        unlinkWhere(fragment, [](const Entry &) { return true; });
    }

    void clear()
    {
        for (int fragment = 0; fragment < MAX_FRAGMENTS; ++fragment) dropFragment(fragment);
    }

    // Calls visit(std::string_view) for each live name of the fragment, in the order they came.
    template <typename Visit>
    void forEachIn(int fragment, Visit &&visit) const
    {
        for (int i = fragments_[fragment].head; i; i = entries_[i - 1].next)
            if (entries_[i - 1].live) visit(entries_[i - 1].view());
    }

private:
    struct Entry {
        char name[NAME_SIZE];
        uint32_t hash;
        uint16_t next;  // in the fragment's chain, or the free list; index + 1, 0 for none
        uint8_t fragment;
        uint8_t length;
        bool live;
        std::string_view view() const { return {name, length}; }
    };
    struct Fragment {
        uint16_t head, tail;  // index + 1, 0 for none
        uint16_t live;
        uint16_t bytes;
    };
    static constexpr int SLOTS = 2 * CAPACITY;  // at most half full, so probes stay short

    // Keyed with a secret drawn at start (SipHash, libsodium's shorthash): users choose their
    // nicks, and with a known hash they could pile them into one long probe chain.
    static uint32_t hashOf(std::string_view name)
    {
        static unsigned char key[crypto_shorthash_KEYBYTES];
        static bool keyed = false;
        if (!keyed) {
            randombytes_buf(key, sizeof key);
            keyed = true;
        }
        unsigned char out[crypto_shorthash_BYTES];
        crypto_shorthash(out, reinterpret_cast<const unsigned char *>(name.data()), name.size(), key);
        uint32_t h;
        std::memcpy(&h, out, sizeof h);
        return h;
    }
    static int home(uint32_t hash) { return static_cast<int>(hash & (SLOTS - 1)); }
    static int next(int slot) { return (slot + 1) & (SLOTS - 1); }

    // The entry of a live name, or with live false of a retired one; -1 when none.
    int find(std::string_view name, bool live) const
    {
        const uint32_t hash = hashOf(name);
        for (int slot = home(hash); slots_[slot]; slot = next(slot)) {
            const Entry &e = entries_[slots_[slot] - 1];
            if (e.hash == hash && e.live == live && e.view() == name) return slots_[slot] - 1;
        }
        return -1;
    }

    bool revive(Entry &e)
    {
        if (e.live) return true;
        e.live = true;
        ++live_;
        ++fragments_[e.fragment].live;
        fragments_[e.fragment].bytes += e.length + 1;
        return true;
    }

    int allocate()
    {
        if (free_) {
            const int index = free_ - 1;
            free_ = entries_[index].next;
            return index;
        }
        return used_ < CAPACITY ? used_++ : -1;
    }

    // Takes the entry out of the index, moving back the ones behind it that it kept from their home.
    void unindex(int index)
    {
        int hole = home(entries_[index].hash);
        while (slots_[hole] != index + 1) hole = next(hole);
        for (int slot = next(hole); slots_[slot]; slot = next(slot)) {
            const int want = home(entries_[slots_[slot] - 1].hash);
            const bool between = hole < slot ? (want > hole && want <= slot) : (want > hole || want <= slot);
            if (between) continue;
            slots_[hole] = slots_[slot];
            hole = slot;
        }
        slots_[hole] = 0;
    }

    template <typename Pick>
    void unlinkWhere(int fragment, Pick pick)
    {
        Fragment &f = fragments_[fragment];
        uint16_t kept = 0;
        for (uint16_t i = f.head, after; i; i = after) {
            Entry &e = entries_[i - 1];
            after = e.next;
            if (!pick(e)) {
                if (kept) entries_[kept - 1].next = i;
                else f.head = i;
                kept = i;
                continue;
            }
            if (e.live) {
                e.live = false;
                --live_;
                --f.live;
                f.bytes = static_cast<uint16_t>(f.bytes - (e.length + 1));
            }
            unindex(i - 1);
            e.next = free_;
            free_ = i;
        }
        if (kept) entries_[kept - 1].next = 0;
        else f.head = 0;
        f.tail = kept;
    }

    Entry entries_[CAPACITY];
    uint16_t slots_[SLOTS];  // index + 1 of the entry, 0 for an empty slot
    Fragment fragments_[MAX_FRAGMENTS];
    int live_;
    int used_;     // entries ever handed out; those below it that are free are on free_
    uint16_t free_;
};
