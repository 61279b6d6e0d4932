// JOIN, PART, NAMES, LIST and WHO over the channel table, and the lists of names their replies carry.
#pragma once

#include <cstddef>

#include "../core/limits.h"
#include "dispatch.h"

void handleJoin(int slot, LineCursor &cur);
void handlePart(int slot, LineCursor &cur);
void handleNames(int slot, LineCursor &cur);
void handleList(int slot, LineCursor &cur);
void handleWho(int slot, LineCursor &cur);

// Words (nicks, channel names) gathered into as many reply lines as they need: `emit` sends one
// line about `subject` with the words joined by spaces.
class WordLines {
public:
    using Emit = void (*)(int slot, const char *subject, const char *words);
    WordLines(int slot, const char *subject, Emit emit) : slot_(slot), subject_(subject), emit_(emit) {}
    void add(const char *word);
    void flush();

private:
    int slot_;
    const char *subject_;
    Emit emit_;
    char words_[LINE_SIZE] = {};
    size_t used_ = 0;
};
