#pragma once

#include <cassert>

// Methods confined to a queue say so, and debug builds check it.
#define QUORVI_ASSERT_ON(queue) assert((queue).isCurrent())
