// Switches the OTG port mode and the SysRq enable, and fires SysRq commands,
// through the kernel's sysfs and procfs control files.
#include "magic.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "paths.h"

namespace {

int64_t file_open(const char *tmp)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to open file with %s\n", tmp);
    char fpath[4096];
    snprintf(fpath, sizeof(fpath), "%s", tmp);
    // The trigger is write-only (0200) and never read: asking to read it as
    // well needs CAP_DAC_OVERRIDE, which the service does not keep.
    const int access = strcmp(fpath, paths::sysrq_trigger) == 0 ? O_WRONLY : O_RDWR;
    int fd = open(fpath, access | O_CLOEXEC);
    if (fd < 0)
        vskprint(LOG_LEVEL_WARN, __func__, "failed to open file %s with errno: %d\n", fpath, errno);
    return fd;
}

file_context_info file_read(int64_t fd)
{
    file_context_info info;
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to read file with fd: %ld\n", static_cast<long>(fd));
    if (fd < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "bad file descriptor\n");
        info.len = -1;
        info.rbuf[0] = '\0';
        return info;
    }
    // Control files hand over their short value in one read.
    info.len = read(static_cast<int>(fd), info.rbuf, sizeof(info.rbuf) - 1);
    if (info.len < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "failed to read file with errno: %d\n", errno);
        info.rbuf[0] = '\0';
        return info;
    }
    info.rbuf[info.len] = '\0';
    return info;
}

file_context_info file_write(int64_t fd, const char *cmd)
{
    file_context_info info;
    info.rbuf[0] = '\0';
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to write file with fd: %ld\n", static_cast<long>(fd));
    if (fd < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "bad file descriptor\n");
        info.len = -1;
        return info;
    }
    // The value was just read through this descriptor. A kernel with strict
    // sysctl writes ignores a write that does not start at offset 0, so
    // rewind first; a device without a position simply refuses the seek.
    (void)lseek(static_cast<int>(fd), 0, SEEK_SET);
    size_t len = strlen(cmd);
    info.len = write(static_cast<int>(fd), cmd, len);
    if (info.len >= 0 && static_cast<size_t>(info.len) != len) {
        // A control file takes its value in one write; part of it is none.
        info.len = -1;
        errno = EIO;
    }
    if (info.len < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "failed to write file with cmd: %s, errno: %d\n", cmd, errno);
        return info;
    }
    // A kernel attribute replaces its whole value on a write; the plain files
    // of a simulated board would keep the tail of a longer old value.
    if constexpr (paths::simulated_board) {
        struct stat st;
        if (fstat(static_cast<int>(fd), &st) == 0 && S_ISREG(st.st_mode))
            (void)!ftruncate(static_cast<int>(fd), info.len);
    }
    snprintf(info.rbuf, sizeof(info.rbuf), "%s", cmd);
    vskprint(LOG_LEVEL_WARN, __func__, "set the status to %s success\n", cmd);
    return info;
}

void file_close(int64_t fd)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close file with fd: %ld\n", static_cast<long>(fd));
    close(static_cast<int>(fd));
}

bool begins_with(const file_context_info &info, std::string_view literal)
{
    return std::string_view(info.rbuf).starts_with(literal);
}

// Reads a control file, toggles it between cmd[0] and cmd[1] if asked, and
// reports whether the value it leaves is the "on" one.
//   pick_first: given the text read, whether the toggle writes cmd[0].
//   is_on:      given the text read or written, whether the feature is on.
vkstatus switch_control_file(const char *path, bool status, const char *const cmd[2],
                             bool (*pick_first)(const file_context_info &), bool (*is_on)(const file_context_info &))
{
    const file_operate &fop = *fp_get();
    int64_t fd = fop.gfopen(path);
    file_context_info fcinfo = fop.gfread(fd);
    if (fcinfo.len < 0) {
        if (fd >= 0)
            fop.gfclose(fd);
        return vkstatus::vkunknow;
    }
    if (status) {
        int site = pick_first(fcinfo) ? 0 : 1;
        file_context_info written = fop.gfwrite(fd, cmd[site]);
        // A refused write leaves the feature as it was read.
        if (written.len >= 0)
            fcinfo = written;
    }
    fop.gfclose(fd);
    return is_on(fcinfo) ? vkstatus::vkon : vkstatus::vkoff;
}

} // namespace

vkstatus otg_status_handle(bool status)
{
    static constexpr const char *cmd[2] = {"otg", "host"};
    return switch_control_file(
        paths::otg_mode, status, cmd, [](const file_context_info &i) { return begins_with(i, "host"); },
        [](const file_context_info &i) { return begins_with(i, "otg"); });
}

vkstatus sysrq_switch_status_handle(bool status)
{
    static constexpr const char *cmd[2] = {"1", "0"};
    return switch_control_file(
        paths::sysrq_enable, status, cmd, [](const file_context_info &i) { return begins_with(i, "0"); },
        [](const file_context_info &i) { return !begins_with(i, "0"); });
}

bool sysrq_trigger_status_handle(const char *cmd)
{
    const file_operate &fop = *fp_get();
    int64_t fd = fop.gfopen(paths::sysrq_trigger);
    const bool written = fop.gfwrite(fd, cmd).len >= 0;
    fop.gfclose(fd);
    return written;
}

namespace {

const file_operate foperate = {
    .gfopen = file_open,
    .gfread = file_read,
    .gfwrite = file_write,
    .gfclose = file_close,
};

// The handlers may run on the receiver thread while a test swaps the table.
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
