// Ports for the node under test, handed out by the kernel so that parallel tests never collide.
#pragma once

#include <cstdint>

namespace qtest {

// A port that was free a moment ago on 127.0.0.1: bound to port 0, read back, and released.
uint16_t freePort();

}  // namespace qtest
