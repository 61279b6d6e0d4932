// Cuts the bytes read from a slot into lines and hands each complete one to the command processor.
#pragma once

#include <cstddef>

// Reads the slot until it would block or its budget for this pass is used; may reset the slot
// (end of stream, or a QUIT among the lines).
void recvData(int slot);
// Takes bytes already read for the slot (at most what fits behind its fragment) as a read would.
void absorbBytes(int slot, const char *chunk, size_t got);
// The slot's input was held: the lines waiting in its buffer are handled now.
void resumeInput(int slot);
struct Connection;
struct TableSizes;

// Start-up: one line buffer for every slot, in a pool; false when the memory is refused.
bool sizeInputBuffers(const TableSizes &sizes);
// The slot's line in progress, a buffer of LINE_SIZE bytes that the slot takes if it held none.
char *inputBuffer(int slot);
// The same for reading only: LINE_SIZE zero bytes while the slot holds no buffer.
const char *lineInProgress(int slot);
int inputBuffersHeld();  // by every slot together
// A peer leaves: its line in progress is dropped and its buffer given back.
void releaseInput(Connection &c);
// Copies the string at src, reading at most srcRoom bytes, to dest, which lies before it in the
// same buffer; returns the bytes copied with the terminator, 0 for a missing or empty source.
int shift(char *dest, const char *src, size_t srcRoom);
