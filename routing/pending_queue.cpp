// Answers from the routing daemon. The server sends no request that waits for an answer yet,
// so any line the daemon sends was never asked for and changes nothing.
#include "pending_queue.h"

void handleDaemonLine(const char *firstWord, LineCursor &rest)
{
    (void)firstWord;
    (void)rest;
}
