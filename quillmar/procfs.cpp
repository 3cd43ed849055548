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

constexpr int open_flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW;

// /proc itself, opened once for the life of the program: a process's files
// are opened relative to it, which spares the lookup of /proc on every open.
int proc_dir()
{
    static const int fd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return fd;
}

int64_t file_open(const char *tmp, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to open file with %s %ld\n", tmp, static_cast<long>(pid));
    char path[280];
    int fd = -1;
    if (pid > 0) {
        // "/proc/" and the rest; the rest alone is the path below /proc.
        constexpr size_t below = sizeof("/proc/") - 1;
        snprintf(path, sizeof(path), "/proc/%ld/%s", static_cast<long>(pid), tmp);
        fd = proc_dir() >= 0 ? openat(proc_dir(), path + below, open_flags) : open(path, open_flags);
    } else {
        snprintf(path, sizeof(path), "%s", tmp);
        fd = open(path, open_flags);
    }
    if (fd < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, "failed to open file %s with errno: %d\n", path, err);
        errno = err;
    }
    return fd;
}

// One read of the file from where it stands, or from its start.
file_context_info read_at(int64_t fd, const char *func, bool from_start)
{
    file_context_info info;
    info.rbuf[0] = '\0';
    vskprint(LOG_LEVEL_INFO, func, "prepare to read file with fd: %ld\n", static_cast<long>(fd));
    if (fd < 0) {
        info.len = -1;
        return info;
    }
    info.len = from_start ? pread(static_cast<int>(fd), info.rbuf, sizeof(info.rbuf) - 1, 0)
                          : read(static_cast<int>(fd), info.rbuf, sizeof(info.rbuf) - 1);
    if (info.len < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, func, " failed to read file with errno: %d\n", err);
        errno = err;
        return info;
    }
    info.rbuf[info.len] = '\0';
    return info;
}

file_context_info file_read(int64_t fd)
{
    return read_at(fd, __func__, false);
}

file_context_info file_reread(int64_t fd)
{
    return read_at(fd, __func__, true);
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
    .gfreread = file_reread,
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

bool proc_dir_entry_is_process(int dirfd, const char *name, unsigned char type)
{
    if (name[0] < '0' || name[0] > '9' || strnlen(name, 11) > 10)
        return false;
    if (type == DT_DIR)
        return true;
    if (type != DT_UNKNOWN && type != DT_LNK)
        return false;
    struct stat st;
    return fstatat(dirfd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}
