// The entry point of every received line, the word cursor its handlers read parameters with,
// and the table of commands.
#pragma once

// Words are separated by runs of spaces only; tabs and every other byte belong to a word.
// Taking a word overwrites the separator that ends it, so the line is cut up in place. A list
// inside a word (PRIVMSG's targets) is taken apart the same way with its own separator.
struct LineCursor {
    char *pos;
    char *next(char separator = ' ');  // nullptr when the line is used up
    // The parameter after " :" as it stands, or else the next word; nullptr when there is none.
    char *trailing();
};

// May reset the slot (QUIT): callers do not touch the slot's line buffer afterwards.
void parseCmd(char *line, int slot);
// Start-up: command handling's part in the loop and in a peer's departure.
void wireIrc();
