// The service's entry: command line, feature dispatch and its single exit path.
#pragma once

#include <cstdint>
#include <string_view>

// The rules the command line and the request handler share for a SysRq
// command: it begins with exactly one digit, or one letter from b to z.
bool is_digit(char c);
bool is_command_letter(char c);
bool single_leading(std::string_view text, bool (*in_run)(char));

// The status of a SysRq command the kernel did not take. Success is 0, as
// it always was, so that peers reading the reply keep working.
inline constexpr int8_t sysrq_failed = -1;

int8_t ostrivel_parse_cmd(bool muggle_mode, const char *mp, const char *muggle);
int8_t ostrivel_use_cmd(uint8_t mp);
[[noreturn]] void ostrivel_clean_up(int exitnum);
