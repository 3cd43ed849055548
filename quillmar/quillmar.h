// The assistant's entry and its single exit path.
#pragma once

#include <cstdint>

#include "version.h"

uint8_t curlevel_handle(const char *buf);
[[noreturn]] void quillmar_clean_up(int exitnum);
