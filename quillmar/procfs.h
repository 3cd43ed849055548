// The assistant's table of file operations, for reading /proc: a plain path,
// or a file in one process's directory.
#pragma once

#include <cstdint>

#include "file_context.h"

struct file_operate {
    int64_t (*gfopen)(const char *tmp, int64_t pid);
    file_context_info (*gfread)(int64_t fd);
    void (*gfclose)(int64_t fd);
};

const file_operate *fp_get();
