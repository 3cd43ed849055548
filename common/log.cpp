// The log facility. The same source is built into both programs; the
// assistant's build defines VASK_ASSISTANT, which changes the file name and
// two checks (see log_exit and vskprint).
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "paths.h"

#if VASK_ASSISTANT
[[noreturn]] void quillmar_clean_up(int exitnum);
#define program_clean_up quillmar_clean_up
static constexpr char program_name[] = "quillmar";
static constexpr bool level_check_before_open = true;
static constexpr bool exit_only_when_open = false;
#else
[[noreturn]] void ostrivel_clean_up(int exitnum);
#define program_clean_up ostrivel_clean_up
static constexpr char program_name[] = "ostrivel";
static constexpr bool level_check_before_open = false;
static constexpr bool exit_only_when_open = true;
#endif

vsk_log_info glog;

namespace {

constexpr const char *log_level_tag[] = {"[EE]", "[WW]", "[II]", "[DD]"};
constexpr size_t message_size = 1024;
constexpr size_t line_size = message_size + 48;
// The 48 bytes of the design count the path without the simulated root.
constexpr size_t path_size = paths::sysroot_len + 48;
constexpr time_t utc8_offset = 8 * 60 * 60;

std::atomic<log_clock_fn> log_clock{[] { return time(nullptr); }};

void log_syslog(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void log_syslog(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsyslog(LOG_LOCAL6 | priority, fmt, ap);
    va_end(ap);
}

bool write_all_once(int fd, const char *buf, size_t len)
{
    return write(fd, buf, len) == static_cast<ssize_t>(len);
}

void log_file_open()
{
    glog.has_init = false;
    char path[path_size];
    int fd = -1;
    for (size_t index = 0; index < std::size(paths::log_dirs); index++) {
        snprintf(path, sizeof(path), "%s%s0.log", paths::log_dirs[index], program_name);
        fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            log_syslog(LOG_INFO, "%s: log file open successfully with path: %s\n", "log_file_open", path);
            break;
        }
        int err = errno;
        log_syslog(LOG_WARNING, "%s: log file failed to open with path: %s\n", "log_file_open", path);
        if (index == std::size(paths::log_dirs) - 1) {
            log_syslog(LOG_ERR, "%s: all log files have failed to be created and the program will exit, errno: %d\n",
                       "log_file_open", err);
            exit(-1);
        }
    }
    glog.fd = fd;

    char first[48];
    int n = snprintf(first, sizeof(first), "try to write file, current level is: %d!\n", glog.curlevel.load());
    size_t len = n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof(first) - 1);
    if (!write_all_once(fd, first, len))
        program_clean_up(-2);
    glog.has_init = true;
}

} // namespace

void log_set_clock(log_clock_fn clock)
{
    log_clock = clock;
}

void log_init(uint8_t dbglevel)
{
    log_syslog(LOG_INFO, "%s: ready to init log\n", "log_init");
    glog.curlevel = dbglevel;
    log_file_open();
}

void log_exit()
{
    if (exit_only_when_open && !glog.has_init)
        return;
    vskprint(LOG_LEVEL_INFO, "log_exit", "prepare to clean up the log\n");
    int64_t fd = glog.fd.exchange(-1);
    if (fd >= 0)
        close(static_cast<int>(fd));
}

void vskprint(uint8_t dbglevel, const char *func, const char *fmt, ...)
{
    const bool open = glog.has_init;
    if (open && dbglevel > glog.curlevel)
        return;
    if ((open || level_check_before_open) && (dbglevel == 0 || dbglevel > LOG_LEVEL_DEBUG)) {
        log_syslog(LOG_WARNING, "%s: need the right level of debugging [1 - 4]\n", "vskprint");
        return;
    }

    char message[message_size];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(message, sizeof(message), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t mlen = std::min(static_cast<size_t>(n), sizeof(message) - 1);

    if (!open) {
        (void)!write(STDERR_FILENO, message, mlen);
        return;
    }

    // The board's users read their logs in UTC+8, whatever the zone of the
    // machine: shift the epoch, then break down as UTC.
    time_t now = log_clock.load()() + utc8_offset;
    struct tm tm;
    gmtime_r(&now, &tm);

    char line[line_size];
    n = snprintf(line, sizeof(line), "%04d-%02d%02d-%02d:%02d:%02d %s: %s -> %s", tm.tm_year + 1900, tm.tm_mon + 1,
                 tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, log_level_tag[dbglevel - 1], func, message);
    if (n < 0)
        return;
    size_t len = std::min(static_cast<size_t>(n), sizeof(line) - 1);
    if (!write_all_once(static_cast<int>(glog.fd.load()), line, len))
        log_syslog(LOG_WARNING, "%s: failed to write log file, content: %s -> %s, errno: %d\n", "vskprint", func, line,
                   errno);
}
