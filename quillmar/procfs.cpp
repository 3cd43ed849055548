// Reads of /proc for the process explorer: one read of at most 4095 bytes per
// file, which holds all of stat and statm and the start of cmdline.
#include "procfs.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"

namespace {

int64_t file_open(const char *tmp, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to open file with %s %ld\n", tmp, static_cast<long>(pid));
    char path[280];
    if (pid > 0)
        snprintf(path, sizeof(path), "/proc/%ld/%s", static_cast<long>(pid), tmp);
    else
        snprintf(path, sizeof(path), "%s", tmp);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, "failed to open file %s with errno: %d\n", path, err);
        errno = err;
    }
    return fd;
}

file_context_info file_read(int64_t fd)
{
    file_context_info info;
    info.rbuf[0] = '\0';
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to read file with fd: %ld\n", static_cast<long>(fd));
    if (fd < 0) {
        info.len = -1;
        return info;
    }
    info.len = read(static_cast<int>(fd), info.rbuf, sizeof(info.rbuf) - 1);
    if (info.len < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, " failed to read file with errno: %d\n", err);
        errno = err;
        return info;
    }
    info.rbuf[info.len] = '\0';
    return info;
}

void file_close(int64_t fd)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close file with fd: %ld\n", static_cast<long>(fd));
    close(static_cast<int>(fd));
}

const file_operate foperate = {
    .gfopen = file_open,
    .gfread = file_read,
    .gfclose = file_close,
};

std::atomic<const file_operate *> in_use{&foperate};

} // namespace

const file_operate *fp_get()
{
    return in_use.load();
}

const file_operate *fp_set(const file_operate *table)
{
    return in_use.exchange(table ? table : &foperate);
}

bool proc_dir_entry_is_process(int dirfd, const char *name)
{
    if (name[0] < '0' || name[0] > '9' || strnlen(name, 11) > 10)
        return false;
    struct stat st;
    return fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}
