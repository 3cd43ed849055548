// The log facility. The same source is built into both programs; the
// assistant's build defines VASK_ASSISTANT, which changes the file name,
// two checks (see log_exit and vskprint) and what a log nowhere to be had
// ends (see log_file_open).
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "paths.h"
#include "unique_fd.h"

#if VASK_ASSISTANT
[[noreturn]] void quillmar_clean_up(int exitnum);
#define program_clean_up quillmar_clean_up
static constexpr char program_name[] = "quillmar";
static constexpr bool level_check_before_open = true;
static constexpr bool exit_only_when_open = false;
// A desktop user outside vask may write in none of the log directories; the
// window must still open, to tell that user why the service refuses them.
static constexpr bool runs_without_log = true;
#else
[[noreturn]] void ostrivel_clean_up(int exitnum);
#define program_clean_up ostrivel_clean_up
static constexpr char program_name[] = "ostrivel";
static constexpr bool level_check_before_open = false;
static constexpr bool exit_only_when_open = true;
static constexpr bool runs_without_log = false;
#endif

vsk_log_info glog;

namespace {

constexpr const char *log_level_tag[] = {"[EE]", "[WW]", "[II]", "[DD]"};
// The 48-byte path buffer of the board counts the path without the simulated root.
constexpr size_t path_size = paths::sysroot_len + 48;
constexpr time_t utc8_offset = 8 * 60 * 60;
// Tries to put a fresh file where another one, or a link, was removed; each
// try can lose only to someone who recreates the name in between.
constexpr int replace_tries = 3;

// Set once log_init found no log file to take: the level still applies.
bool stderr_only = false;

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

int create_exclusive(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Opens the log file at path, emptied, without ever writing through a link or
// into a file this process's user does not own: the log directory may be
// writable by a group, and the service writes as root. Anything else at the
// name (a link, another's file, a file with other names, a pipe) is removed
// and a fresh file made in its place.
int log_file_take(const char *path)
{
    // Non-blocking so that a pipe left at the name cannot hold the start.
    unique_fd fd(open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.ok()) {
        struct stat st;
        if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1 &&
            ftruncate(fd.get(), 0) == 0 && fcntl(fd.get(), F_SETFL, 0) == 0)
            return fd.release();
        fd.reset();
    } else if (errno == ENOENT) {
        int created = create_exclusive(path);
        if (created >= 0 || errno != EEXIST)
            return created;
    }
    for (int attempt = 0; attempt < replace_tries; attempt++) {
        if (unlink(path) != 0 && errno != ENOENT)
            return -1;
        int created = create_exclusive(path);
        if (created >= 0 || errno != EEXIST)
            return created;
    }
    return -1;
}

void log_file_open()
{
    glog.has_init = false;
    char path[path_size];
    int fd = -1;
    for (size_t index = 0; index < std::size(paths::log_dirs); index++) {
        snprintf(path, sizeof(path), "%s%s0.log", paths::log_dirs[index], program_name);
        fd = log_file_take(path);
        if (fd >= 0) {
            log_syslog(LOG_INFO, "%s: log file open successfully with path: %s\n", "log_file_open", path);
            break;
        }
        int err = errno;
        log_syslog(LOG_WARNING, "%s: log file failed to open with path: %s\n", "log_file_open", path);
        if (index == std::size(paths::log_dirs) - 1 && runs_without_log) {
            // Its lines go on to standard error, as before the log was opened.
            log_syslog(LOG_ERR, "%s: all log files have failed to be created, lines go to standard error, errno: %d\n",
                       "log_file_open", err);
            stderr_only = true;
            return;
        }
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

// The formatted text of n bytes (as vsnprintf counts them) in a buffer of
// size bytes: its length once cut, with a cut text ending in a line end.
size_t end_cut_text(char *text, size_t size, int n)
{
    if (n < 0)
        return 0;
    if (static_cast<size_t>(n) < size)
        return static_cast<size_t>(n);
    text[size - 2] = '\n';
    text[size - 1] = '\0';
    return size - 1;
}

} // namespace

void log_set_clock(log_clock_fn clock)
{
    log_clock = clock;
}

void log_escape(std::string_view text, char *out, size_t out_size)
{
    if (out_size == 0)
        return;
    static constexpr char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        bool plain = c >= 0x20 && c < 0x7f && c != '\\';
        size_t need = plain ? 1 : 4;
        if (at + need >= out_size)
            break;
        if (plain) {
            out[at++] = ch;
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = hex[c >> 4];
            out[at++] = hex[c & 0xf];
        }
    }
    out[at] = '\0';
}

size_t log_line_build(char (&line)[log_line_size], time_t now, uint8_t dbglevel, const char *func,
                      const char *message)
{
    // The board's users read their logs in UTC+8, whatever the zone of the
    // machine: shift the epoch, then break down as UTC.
    time_t shifted = now + utc8_offset;
    struct tm tm;
    if (!gmtime_r(&shifted, &tm))
        tm = {};
    int n = snprintf(line, sizeof(line), "%04d-%02d%02d-%02d:%02d:%02d %s: %s -> %s", tm.tm_year + 1900,
                     tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, log_level_tag[dbglevel - 1], func,
                     message);
    return end_cut_text(line, sizeof(line), n);
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

void vsk_log_print(uint8_t dbglevel, const char *func, const char *fmt, ...)
{
    const bool open = glog.has_init;
    if ((open || stderr_only) && dbglevel > glog.curlevel)
        return;
    if ((open || level_check_before_open) && (dbglevel == 0 || dbglevel > LOG_LEVEL_DEBUG)) {
        log_syslog(LOG_WARNING, "%s: need the right level of debugging [1 - 4]\n", "vskprint");
        return;
    }

    char message[log_message_size];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(message, sizeof(message), fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    size_t mlen = end_cut_text(message, sizeof(message), n);

    if (!open) {
        (void)!write(STDERR_FILENO, message, mlen);
        return;
    }

    char line[log_line_size];
    size_t len = log_line_build(line, log_clock.load()(), dbglevel, func, message);
    if (!write_all_once(static_cast<int>(glog.fd.load()), line, len))
        log_syslog(LOG_WARNING, "%s: failed to write log file, content: %s -> %s, errno: %d\n", "vskprint", func, line,
                   errno);
}
