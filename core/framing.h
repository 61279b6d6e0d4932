// Cuts the bytes read from a slot into lines and hands each complete one to the command processor.
#pragma once

#include <cstddef>

// One read from the slot; may reset the slot (end of stream, or a QUIT among the lines).
void recvData(int slot);
// Copies the string at src, reading at most srcRoom bytes, to dest, which lies before it in the
// same buffer; returns the bytes copied with the terminator, 0 for a missing or empty source.
int shift(char *dest, const char *src, size_t srcRoom);
