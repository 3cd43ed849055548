// The service's entry: command line, feature dispatch and its single exit path.
#pragma once

#include <cstdint>

int8_t ostrivel_parse_cmd(bool muggle_mode, const char *mp, const char *muggle);
int8_t ostrivel_use_cmd(uint8_t mp);
[[noreturn]] void ostrivel_clean_up(int exitnum);
