// The process explorer's records: one process as collected, stored and
// shown, and the machine totals its percentages are taken against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct proc_info {
    int64_t pid;
    int64_t priority;
    int64_t nice;
    char state;
    int64_t virt; // pages
    int64_t res;  // pages
    int64_t shr;  // pages
    int64_t cputime;  // utime + stime + cutime + cstime, clock ticks
    char time[280];   // the process's own CPU time as "%02ld:%02ld.%02ld"
    char comm[280];
    int64_t affinity; // CPUs 0-63, -1 when unreadable
    char cpulist[128];
    int64_t minflt;
    int64_t cminflt;
    int64_t majflt;
    int64_t cmajflt;
    char cmdline[280];
};

struct machine_info {
    int64_t cpu_count;
    int64_t mtime;    // clock ticks, -1 when unreadable
    int64_t memtotal; // kB, 0 when unreadable
};

extern machine_info minfo;

// One refresh: every process of /proc into the store, in one transaction.
// Returns the number of failed reads (at most 127), or -1 when /proc cannot
// be listed.
int8_t proc_list_flush();

// The reading steps, on texts already read.
// A /proc/<pid>/stat line: name (up to the last ')'), state, faults, times,
// priority and nice. False when the line has no name in parentheses.
bool proc_stat_parse(const char *text, proc_info &info);
void proc_statm_parse(const char *text, proc_info &info);
void proc_cmdline_parse(const char *text, ssize_t len, proc_info &info);
// Ticks of 1/100 s as minutes, seconds and hundredths: 12345 -> 02:03.45.
void proc_time_format(int64_t ticks, char (&text)[280]);
// The CPUs of an affinity mask as their numbers run together: 0xf0 -> 4567.
void proc_cpulist_format(int64_t affinity, int64_t cpu_count, char (&text)[128]);
// An SQL string literal's body: each ' doubled.
void sql_quote(const char *text, char *out, size_t size);
