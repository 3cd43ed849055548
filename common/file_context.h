// The result of one read or write of a file, shared by both programs' file
// operation tables: the text read (or last written), NUL-terminated.
#pragma once

#include <sys/types.h>

struct file_context_info {
    ssize_t len; // bytes read or written; negative on failure
    char rbuf[4096];
};
