// Leveled logging shared by both programs: standard error until the log file
// is open, then one line per call appended to the program's log file.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

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
void vskprint(uint8_t dbglevel, const char *func, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Source of the wall clock for the line stamps; tests replace it.
using log_clock_fn = time_t (*)();
void log_set_clock(log_clock_fn clock);
