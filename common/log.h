// Leveled logging shared by both programs: standard error until the log file
// is open, then one line per call appended to the program's log file.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string_view>

inline constexpr uint8_t LOG_LEVEL_ERROR = 1;
inline constexpr uint8_t LOG_LEVEL_WARN = 2;
inline constexpr uint8_t LOG_LEVEL_INFO = 3;
inline constexpr uint8_t LOG_LEVEL_DEBUG = 4;

// Written by log_init before any second thread logs, and by log_exit during
// shutdown; atomics keep the shutdown path free of data races.
struct vsk_log_info {
    std::atomic<int64_t> fd{-1};
    std::atomic<uint8_t> curlevel{LOG_LEVEL_DEBUG};
    std::atomic<bool> has_init{false};
};

extern vsk_log_info glog;

void log_init(uint8_t dbglevel);
void log_exit();

// Whether a line of this level is dropped by the open log's threshold. Kept
// inline so that a call at a level that is off costs a compare and no
// formatting: vskprint tests it before its arguments are passed on.
inline bool log_level_off(uint8_t dbglevel)
{
    return glog.has_init.load(std::memory_order_relaxed) && dbglevel > glog.curlevel.load(std::memory_order_relaxed);
}

void vsk_log_print(uint8_t dbglevel, const char *func, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

#define vskprint(dbglevel, func, ...)                                                                                  \
    (log_level_off(dbglevel) ? static_cast<void>(0) : vsk_log_print((dbglevel), (func), __VA_ARGS__))

// Size of the text log_escape writes for a text of len bytes, NUL included.
inline constexpr size_t log_escaped_size(size_t len)
{
    return len * 4 + 1;
}

// Writes text into out (of out_size bytes, NUL-terminated, cut if it must
// be) with every byte outside printable ASCII, and the backslash, written as
// \xNN: a text from outside the program cannot break or colour a log line.
void log_escape(std::string_view text, char *out, size_t out_size);

// Sizes of the formatted message (1023 characters and its NUL) and of the
// whole line: the message and 48 bytes for the stamp, tag and name.
inline constexpr size_t log_message_size = 1024;
inline constexpr size_t log_line_size = log_message_size + 48;

// Builds the line of one message of mlen bytes, stamped with now (epoch
// seconds, shown in UTC+8), into line; returns its length. A line that had to
// be cut still ends with a line end, so the next line stands on its own.
size_t log_line_build(char (&line)[log_line_size], time_t now, uint8_t dbglevel, const char *func,
                      const char *message);

// Source of the wall clock for the line stamps; tests replace it.
using log_clock_fn = time_t (*)();
void log_set_clock(log_clock_fn clock);
