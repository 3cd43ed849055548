// The assistant's table of file operations, for reading /proc: a plain path,
// or a file in one process's directory.
#pragma once

#include <cstdint>
#include <dirent.h>

#include "file_context.h"

struct file_operate {
    int64_t (*gfopen)(const char *tmp, int64_t pid);
    file_context_info (*gfread)(int64_t fd);
    void (*gfclose)(int64_t fd);
    // Reads an open file again from its start: a /proc file kept open shows
    // the process as it is now, without the cost of opening it anew.
    file_context_info (*gfreread)(int64_t fd);
};

// A failed open or read leaves errno as the failing call set it, so a
// caller can tell a process that has ended from a file it may not read.
const file_operate *fp_get();
// For tests that inject faults: fp_get hands out table from now on, or the
// module's own table again after nullptr. Returns the table it replaced.
// The assistant itself never calls it.
const file_operate *fp_set(const file_operate *table);

// Whether the entry name of the directory dirfd (the /proc listing) is a
// process: a name of at most 10 characters that begins with a decimal digit
// and names a directory. type is the entry's d_type: a directory is taken
// as it is, and only an entry of unknown type or a link is looked up.
bool proc_dir_entry_is_process(int dirfd, const char *name, unsigned char type = DT_UNKNOWN);
