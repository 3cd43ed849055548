// The state a switch handler leaves a board feature in.
#pragma once

#include <cstdint>

enum class vkstatus : int8_t {
    vkunknow = -1, // the state could not be read
    vkoff = 0,
    vkon = 1,
};
