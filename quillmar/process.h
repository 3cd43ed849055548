// The process explorer's records: one process as collected, stored and
// shown, and the machine totals its percentages are taken against.
#pragma once

#include <cstdint>

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
