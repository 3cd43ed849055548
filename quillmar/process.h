// The process collector: one refresh reads every process of /proc into the
// store, and the reading steps it takes on the texts of a process's files.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <unistd.h>

#include "proc_record.h"

struct quillmar_db_operate;

// Once, at start: raises the soft limit on descriptors to the hard one and
// sizes the set of files refreshes may keep open by it and by a share of
// the machine's memory.
void proc_list_init(long phys_pages = sysconf(_SC_PHYS_PAGES));
// One refresh: every process of /proc into the store it is handed (its
// quillmar_db_exec_sql and quillmar_db_exec_row), in one transaction.
// Returns the number of failed reads (at most 127), or -1 when /proc cannot
// be listed.
int8_t proc_list_flush(const quillmar_db_operate &store);
// Closes the files that refreshes keep open; called when the list is no
// longer shown.
void proc_list_release();

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
