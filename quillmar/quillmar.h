// The assistant's entry and its single exit path.
#pragma once

#include <cstdint>

inline constexpr int quillmar_version_major = 3;
inline constexpr int quillmar_version_minor = 1;

uint8_t curlevel_handle(const char *buf);
[[noreturn]] void quillmar_clean_up(int exitnum);
