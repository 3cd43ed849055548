// The assistant's table of file operations, for reading /proc: a plain path,
// or a file in one process's directory.
#pragma once

#include <cstdint>
#include <sys/types.h>

// Result of one read: the text read, NUL-terminated.
struct file_context_info {
    ssize_t len;
    char rbuf[4096];
};

struct file_operate {
    int64_t (*gfopen)(const char *tmp, int64_t pid);
    file_context_info (*gfread)(int64_t fd);
    void (*gfclose)(int64_t fd);
};

const file_operate *fp_get();
