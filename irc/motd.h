// The client profile's message of the day, from a file (--motd FILE): read at start and again on
// SIGHUP, into fixed lines; without the file, or in the exact replies, the one line of old.
#pragma once

// Takes "--motd FILE" out of argv wherever it stands.
void takeMotdOption(int &argc, char **argv);
bool motdGiven();
// Reads the file named, if any; a file that cannot be read leaves the lines as they were and says so.
void loadMotd();
// SIGHUP: the file again, and a line on standard error that says what came of it.
void reloadMotd();
// The 372 lines for `nick` on `slot`.
void sendMotdLines(int slot, const char *nick);
