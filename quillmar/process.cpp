// The process collector: one refresh reads every process of /proc into the
// ProcInfo table, inside one transaction, and counts the reads that failed.
#include "process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <unordered_map>

#include "database.h"
#include "log.h"
#include "procfs.h"

namespace {

struct file_descriptor_info {
    DIR *procdir;
    int64_t mmeminfo_fd;
    int64_t mstat_fd;
};

file_descriptor_info fdinfo = {.procdir = nullptr, .mmeminfo_fd = -1, .mstat_fd = -1};
int64_t errcnt;
quillmar_db_operate db_operate;
file_operate foperate;
// /proc/stat is read once per refresh; its sum is kept here until the next.
bool mstat_read;
int64_t mstat_sum;
// The pids of this refresh, as an SQL list; its memory is kept between refreshes.
std::string seen_pids;

// Each process's stat, statm and cmdline stay open from one refresh to the
// next, while the list is shown, and are read again from their start: that
// costs a third of opening, reading and closing them. A descriptor belongs
// to the process it was opened for, never to a later one with the same pid:
// once that process has ended its reads fail, and the file is opened anew.
enum proc_file : size_t { proc_stat, proc_statm, proc_cmdline, proc_file_count };
constexpr const char *proc_file_names[proc_file_count] = {"stat", "statm", "cmdline"};

struct kept_files {
    std::array<int64_t, proc_file_count> fd = {-1, -1, -1};
    uint64_t seen = 0; // the refresh that last listed the pid
};

struct kept_processes {
    std::unordered_map<int64_t, kept_files> by_pid;
    uint64_t refresh = 0;
    size_t budget = 0; // processes whose files may stay open
};
kept_processes kept;

// Descriptors the rest of the assistant may need: its X connection, the
// database, the log, icons and fonts.
constexpr rlim_t reserved_fds = 256;

// The soft limit on descriptors is raised as far as the hard one allows:
// the assistant polls, it never selects, so high descriptors are harmless.
size_t kept_budget()
{
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = {.rlim_cur = limit.rlim_max, .rlim_max = limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY)
        return SIZE_MAX / proc_file_count;
    return limit.rlim_cur > reserved_fds ? (limit.rlim_cur - reserved_fds) / proc_file_count : 0;
}

void kept_close(kept_files &files)
{
    for (int64_t &fd : files.fd) {
        if (fd >= 0)
            foperate.gfclose(fd);
        fd = -1;
    }
}

// The process being read. A process that ends between the directory scan
// and its reads is no failure of the refresh: its /proc entry has vanished.
struct current_process {
    int64_t errors; // failures that count, once the process is known to live on
    bool gone;
    kept_files *files; // null: its files are closed after each read
};
current_process current;

void process_failure(int err)
{
    if (err == ENOENT || err == ESRCH)
        current.gone = true;
    else
        current.errors++;
}

// Reads one file of the current process, again from its start when it is
// kept open, else opened; a failed read counts. len is negative after a
// failure.
file_context_info read_file(proc_file file, int64_t pid)
{
    int64_t *kept_fd = current.files ? &current.files->fd[file] : nullptr;
    if (kept_fd && *kept_fd >= 0) {
        file_context_info info = foperate.gfreread(*kept_fd);
        if (info.len >= 0)
            return info;
        foperate.gfclose(*kept_fd);
        *kept_fd = -1;
    }
    const int64_t fd = foperate.gfopen(proc_file_names[file], pid);
    const int open_err = errno;
    file_context_info info = foperate.gfread(fd);
    const int read_err = errno;
    if (fd >= 0 && kept_fd && info.len >= 0)
        *kept_fd = fd;
    else if (fd >= 0)
        foperate.gfclose(fd);
    if (info.len < 0)
        process_failure(fd < 0 ? open_err : read_err);
    return info;
}

void machine_mem_info_get()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine mmemory info\n");
    minfo.memtotal = 0;
    if (fdinfo.mmeminfo_fd < 0)
        fdinfo.mmeminfo_fd = foperate.gfopen("/proc/meminfo", 0);
    file_context_info info = foperate.gfread(fdinfo.mmeminfo_fd);
    if (info.len < 0) {
        errcnt++;
        return;
    }
    long memtotal = 0;
    if (sscanf(info.rbuf, "%*s%ld", &memtotal) == 1)
        minfo.memtotal = memtotal;
}

int64_t machine_stat_info_get()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine cpu info\n");
    if (mstat_read)
        return mstat_sum;
    if (fdinfo.mstat_fd < 0)
        fdinfo.mstat_fd = foperate.gfopen("/proc/stat", 0);
    file_context_info info = foperate.gfread(fdinfo.mstat_fd);
    mstat_read = true;
    if (info.len < 0) {
        errcnt++;
        mstat_sum = -1;
        return mstat_sum;
    }
    long user = 0, nice = 0, system = 0, idle = 0;
    sscanf(info.rbuf, "%*s %ld %ld %ld %ld", &user, &nice, &system, &idle);
    mstat_sum = user + nice + system + idle;
    return mstat_sum;
}

proc_info proc_stat_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's stat info\n", static_cast<long>(pid));
    const file_context_info info = read_file(proc_stat, pid);
    if (info.len < 0)
        return pinfo;
    proc_stat_parse(info.rbuf, pinfo);
    minfo.mtime = machine_stat_info_get();
    return pinfo;
}

proc_info proc_statm_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's statm info\n", static_cast<long>(pid));
    const file_context_info info = read_file(proc_statm, pid);
    if (info.len >= 0)
        proc_statm_parse(info.rbuf, pinfo);
    return pinfo;
}

proc_info proc_cmdline_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's cmdline info\n", static_cast<long>(pid));
    const file_context_info info = read_file(proc_cmdline, pid);
    if (info.len >= 0)
        proc_cmdline_parse(info.rbuf, info.len, pinfo);
    return pinfo;
}

void proc_affinity_get(proc_info &pinfo, int64_t pid)
{
    cpu_set_t set;
    static_assert(sizeof(set) >= 128);
    CPU_ZERO(&set);
    if (sched_getaffinity(static_cast<pid_t>(pid), 128, &set) < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, "get CPU affinity failed with errno: %d\n", err);
        pinfo.affinity = -1;
        snprintf(pinfo.cpulist, sizeof(pinfo.cpulist), "----");
        process_failure(err);
        return;
    }
    uint64_t first64 = 0;
    memcpy(&first64, &set, sizeof(first64));
    pinfo.affinity = static_cast<int64_t>(first64);
    proc_cpulist_format(pinfo.affinity, minfo.cpu_count, pinfo.cpulist);
}

// The files of this process, kept open for the next refresh while the
// budget lasts.
kept_files *kept_files_of(int64_t pid)
{
    auto found = kept.by_pid.find(pid);
    if (found == kept.by_pid.end()) {
        if (kept.by_pid.size() >= kept.budget)
            return nullptr;
        found = kept.by_pid.emplace(pid, kept_files{}).first;
    }
    found->second.seen = kept.refresh;
    return &found->second;
}

// The files of processes this refresh no longer listed are closed.
void kept_sweep()
{
    for (auto it = kept.by_pid.begin(); it != kept.by_pid.end();) {
        if (it->second.seen == kept.refresh) {
            ++it;
            continue;
        }
        kept_close(it->second);
        it = kept.by_pid.erase(it);
    }
}

// False when the process ended before it was read: then it has no row and
// its failed reads do not count.
bool proc_info_get(const dirent *entry)
{
    long pid = 0;
    sscanf(entry->d_name, "%ld", &pid);
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld info\n", pid);
    current = {.errors = 0, .gone = false, .files = kept_files_of(pid)};
    proc_info pinfo{};
    pinfo = proc_stat_get(pinfo, pid);
    if (!current.gone)
        pinfo = proc_statm_get(pinfo, pid);
    if (!current.gone)
        pinfo = proc_cmdline_get(pinfo, pid);
    pinfo.pid = pid;
    if (!current.gone)
        proc_affinity_get(pinfo, pid);
    if (current.gone)
        return false;
    errcnt += current.errors;
    db_operate.quillmar_db_exec_row(pinfo);
    return true;
}

void proc_list_get()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine info\n");
    minfo.cpu_count = sysconf(_SC_NPROCESSORS_CONF);
    machine_mem_info_get();
    db_operate.quillmar_db_exec_sql("BEGIN;");

    long count = 0;
    seen_pids.assign("DELETE FROM ProcInfo WHERE Pid NOT IN (");
    kept.refresh++;
    while (const dirent *entry = readdir(fdinfo.procdir)) {
        if (!proc_dir_entry_is_process(dirfd(fdinfo.procdir), entry->d_name, entry->d_type) ||
            !proc_info_get(entry))
            continue;
        if (count++ > 0)
            seen_pids += ',';
        seen_pids += entry->d_name;
    }
    // Processes that have ended leave the table with the refresh that no
    // longer sees them.
    seen_pids += ");";
    db_operate.quillmar_db_exec_sql(seen_pids.c_str());
    kept_sweep();

    db_operate.quillmar_db_exec_sql("COMMIT;");
    vskprint(LOG_LEVEL_INFO, __func__, "total of %ld processes are obtained\n", count);
}

bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The next decimal number after blanks, read as scanf's %ld reads it (a
// value past the range of long saturates) but without its locale and
// stream machinery, which cost more than the read of the file. False,
// and text left where it was, when no number follows.
bool next_number(const char *&text, long &out)
{
    const char *p = text;
    while (is_blank(*p))
        p++;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    constexpr unsigned long limit = static_cast<unsigned long>(LONG_MAX);
    unsigned long value = 0;
    bool over = false;
    for (; *p >= '0' && *p <= '9'; p++) {
        const unsigned digit = static_cast<unsigned>(*p - '0');
        if (value > (limit + 1 - digit) / 10)
            over = true;
        else
            value = value * 10 + digit;
    }
    if (negative)
        out = over || value > limit ? LONG_MIN : -static_cast<long>(value);
    else
        out = over || value > limit ? LONG_MAX : static_cast<long>(value);
    text = p;
    return true;
}

void proc_file_close()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close files used by the process explorer\n");
    if (fdinfo.procdir)
        closedir(fdinfo.procdir);
    fdinfo.procdir = nullptr;
    if (fdinfo.mmeminfo_fd >= 0)
        foperate.gfclose(fdinfo.mmeminfo_fd);
    if (fdinfo.mstat_fd >= 0)
        foperate.gfclose(fdinfo.mstat_fd);
    fdinfo.mmeminfo_fd = fdinfo.mstat_fd = -1;
}

} // namespace

bool proc_stat_parse(const char *text, proc_info &info)
{
    // The name may hold blanks and parentheses of its own: it runs from the
    // first '(' to the last ')', and the numbers follow the last ')'.
    const char *open = strchr(text, '(');
    const char *close = strrchr(text, ')');
    if (!open || !close || close < open)
        return false;
    const size_t name_len = std::min<size_t>(static_cast<size_t>(close - open - 1), sizeof(info.comm) - 1);
    memcpy(info.comm, open + 1, name_len);
    info.comm[name_len] = '\0';

    // After the name: the state, five numbers and the flags skipped, then
    // the faults, the times, priority and nice. A line cut short leaves the
    // fields it does not reach at 0.
    const char *p = close + 1;
    while (is_blank(*p))
        p++;
    const char state = *p ? *p++ : 0;
    long skipped = 0, fields[10] = {};
    for (int i = 0; i < 6 && next_number(p, skipped); i++)
        ;
    for (long &field : fields)
        if (!next_number(p, field))
            break;
    const auto [minflt, cminflt, majflt, cmajflt, utime, stime, cutime, cstime, priority, nice] = fields;
    info.state = state;
    info.minflt = minflt;
    info.cminflt = cminflt;
    info.majflt = majflt;
    info.cmajflt = cmajflt;
    info.priority = priority;
    info.nice = nice;
    const int64_t t = static_cast<int64_t>(utime) + stime;
    info.cputime = t + cutime + cstime;
    proc_time_format(t, info.time);
    return true;
}

void proc_statm_parse(const char *text, proc_info &info)
{
    long pages[3] = {};
    for (long &n : pages)
        if (!next_number(text, n))
            break;
    info.virt = pages[0];
    info.res = pages[1];
    info.shr = pages[2];
}

void proc_cmdline_parse(const char *text, ssize_t len, proc_info &info)
{
    if (len <= 0) { // kernel threads have no command line
        snprintf(info.cmdline, sizeof(info.cmdline), "----");
        return;
    }
    // Arguments are separated by NULs: the first is the program as started.
    const size_t n = strnlen(text, std::min(static_cast<size_t>(len), sizeof(info.cmdline) - 1));
    memcpy(info.cmdline, text, n);
    info.cmdline[n] = '\0';
}

void proc_time_format(int64_t ticks, char (&text)[280])
{
    snprintf(text, sizeof(text), "%02ld:%02ld.%02ld", static_cast<long>(ticks / 6000),
             static_cast<long>(ticks % 6000 / 100), static_cast<long>(ticks % 100));
}

void proc_cpulist_format(int64_t affinity, int64_t cpu_count, char (&text)[128])
{
    size_t used = 0;
    text[0] = '\0';
    for (int i = 0; i < cpu_count && i < 64 && used < sizeof(text) - 1; i++)
        if (static_cast<uint64_t>(affinity) >> i & 1)
            used += static_cast<size_t>(snprintf(text + used, sizeof(text) - used, "%d", i));
}

int8_t proc_list_flush()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to flush process list\n");
    fdinfo.mmeminfo_fd = -1;
    fdinfo.mstat_fd = -1;
    errcnt = 0;
    mstat_read = false;
    db_operate = db_get_operate();
    foperate = *fp_get();
    kept.budget = kept_budget();
    fdinfo.procdir = opendir("/proc/");
    if (!fdinfo.procdir) {
        vskprint(LOG_LEVEL_INFO, __func__, "open dir \"/proc/\" failed with errno %d\n", errno);
        errcnt++;
        return -1;
    }
    proc_list_get();
    proc_file_close();
    // A count past what 8 bits hold must not wrap round to "no failure".
    return static_cast<int8_t>(std::min<int64_t>(errcnt, INT8_MAX));
}

void proc_list_release()
{
    if (kept.by_pid.empty())
        return;
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close the files kept for the process explorer\n");
    for (auto &[pid, files] : kept.by_pid)
        kept_close(files);
    kept.by_pid.clear();
}
