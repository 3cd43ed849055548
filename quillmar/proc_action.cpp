// Signals through pidfds, priorities by number checked against the pidfd, and
// the reading of the process a pidfd holds (its number from the pidfd's
// fdinfo, then its /proc files, then whether it still runs: what was read
// was that process only if it did).
#include "proc_action.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "log.h"
#include "process.h"
#include "procfs.h"

namespace {

// By number: glibc declares these wrappers only from 2.36 on, not for C++.
int sys_pidfd_open(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int sys_pidfd_send_signal(int pidfd, int signo)
{
    return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, signo, nullptr, 0));
}

int sys_setpriority(pid_t pid, int nice)
{
    return setpriority(PRIO_PROCESS, static_cast<id_t>(pid), nice);
}

constexpr proc_act_operate system_calls = {
    .pidfd_open = sys_pidfd_open,
    .pidfd_send_signal = sys_pidfd_send_signal,
    .setpriority = sys_setpriority,
};

std::atomic<const proc_act_operate *> act_table{&system_calls};

const proc_act_operate &ops()
{
    return *act_table.load();
}

// One read of a file of /proc/<pid> (pid 0: a plain path); errno kept when it fails.
bool read_text(const char *name, pid_t pid, file_context_info &info)
{
    const file_operate &f = *fp_get();
    const int64_t fd = f.gfopen(name, pid);
    if (fd < 0)
        return false;
    info = f.gfread(fd);
    const int err = errno;
    f.gfclose(fd);
    errno = err;
    return info.len >= 0;
}

// The number after key at the start of a line of text; -1 when absent.
long line_number(const char *text, const char *key)
{
    const size_t len = strlen(key);
    for (const char *line = text; line && *line; line = strchr(line, '\n'), line = line ? line + 1 : nullptr)
        if (strncmp(line, key, len) == 0)
            return strtol(line + len, nullptr, 10);
    return -1;
}

// A pidfd turns readable once its process has ended.
bool ended(const proc_target &t)
{
    pollfd p = {.fd = t.pidfd.get(), .events = POLLIN, .revents = 0};
    return poll(&p, 1, 0) != 0;
}

// Reads the process the pidfd holds: done, gone, or failed.
proc_outcome read_held(proc_target &t)
{
    file_context_info info;
    char fdinfo[32];
    snprintf(fdinfo, sizeof(fdinfo), "fdinfo/%d", t.pidfd.get());
    // -1 once the process has been reaped, 0 in another pid namespace.
    const long pid = read_text(fdinfo, getpid(), info) ? line_number(info.rbuf, "Pid:") : -1;
    if (pid <= 0)
        return proc_outcome::gone;
    proc_info p{};
    errno = EIO; // a text that does not parse
    const bool read = read_text("stat", static_cast<pid_t>(pid), info) && proc_stat_parse(info.rbuf, p);
    const long uid = read && read_text("status", static_cast<pid_t>(pid), info) ? line_number(info.rbuf, "Uid:") : -1;
    t.error = uid < 0 && errno == 0 ? EIO : errno;
    if (ended(t))
        return proc_outcome::gone;
    if (uid < 0)
        return proc_outcome::failed;
    t.pid = static_cast<pid_t>(pid);
    t.name = p.comm;
    t.uid = static_cast<uid_t>(uid);
    t.state = p.state;
    t.nice = static_cast<int>(p.nice);
    return proc_outcome::done;
}

// The list shows names as valid UTF-8: each invalid byte as U+FFFD.
bool shown_as(std::string_view shown, const std::string &name)
{
    if (g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr))
        return shown == name;
    gchar *valid = g_utf8_make_valid(name.data(), static_cast<gssize>(name.size()));
    const bool same = shown == valid;
    g_free(valid);
    return same;
}

proc_outcome refusal(proc_target &t, int err)
{
    t.error = err;
    if (err == ESRCH)
        return proc_outcome::gone;
    if (err == EPERM && t.uid != getuid() && t.uid != geteuid())
        return proc_outcome::not_owner;
    return proc_outcome::failed;
}

} // namespace

const proc_act_operate *proc_act_get()
{
    return act_table.load();
}

const proc_act_operate *proc_act_set(const proc_act_operate *table)
{
    return act_table.exchange(table ? table : &system_calls);
}

proc_outcome proc_target_open(pid_t pid, std::string_view shown, proc_target &t)
{
    t = {};
    t.pid = pid;
    t.pidfd.reset(ops().pidfd_open(pid));
    if (!t.pidfd.ok())
        return refusal(t, errno);
    const proc_outcome read = read_held(t);
    if (read == proc_outcome::done && !shown_as(shown, t.name))
        return proc_outcome::replaced;
    return read;
}

proc_outcome proc_target_signal(proc_target &t, int signo)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to send signal %d to process %d\n", signo, t.pid);
    return ops().pidfd_send_signal(t.pidfd.get(), signo) == 0 ? proc_outcome::done : refusal(t, errno);
}

proc_outcome proc_target_renice(proc_target &t, int nice)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to set the nice value of process %d to %d\n", t.pid, nice);
    // No pidfd call sets a priority: the number names the process held only
    // while that process runs, before and after the call.
    if (ended(t))
        return proc_outcome::gone;
    if (ops().setpriority(t.pid, nice) != 0)
        return errno == EACCES ? (t.error = EACCES, proc_outcome::needs_root) : refusal(t, errno);
    return ended(t) ? proc_outcome::gone : proc_outcome::done;
}

bool proc_target_settled(proc_target &t, int signo)
{
    if (signo != SIGTERM && signo != SIGKILL) {
        if (signo == 0 || read_held(t) != proc_outcome::done)
            return true;
        const bool stopped = t.state == 'T' || t.state == 't';
        return signo == SIGSTOP ? stopped : !stopped;
    }
    if (!ended(t))
        return false;
    // Listed until its parent has reaped it, as "Z".
    file_context_info info;
    proc_info p{};
    return !read_text("stat", t.pid, info) || !proc_stat_parse(info.rbuf, p) || p.state != 'Z';
}
