// The router that answers from a fixed table is a mode of the one fake daemon.
#pragma once

#include "support/fake_daemon.h"
