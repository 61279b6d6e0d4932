// The handling of the routing daemon's answers.
#pragma once

struct LineCursor;

// Takes one line from the daemon link as the answer to the oldest waiting request.
void handleDaemonLine(const char *firstWord, LineCursor &rest);
