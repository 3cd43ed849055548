// The process collector: one refresh reads every process of /proc into the
// ProcInfo table, inside one transaction, and counts the reads that failed.
#include "process.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

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

// The process being read. A process that ends between the directory scan
// and its reads is no failure of the refresh: its /proc entry has vanished.
struct current_process {
    int64_t errors; // failures that count, once the process is known to live on
    bool gone;
};
current_process current;

void process_failure(int err)
{
    if (err == ENOENT || err == ESRCH)
        current.gone = true;
    else
        current.errors++;
}

// Opens and reads one file of the current process; a failed read counts,
// and the file is closed.
bool read_file(const char *name, int64_t pid, file_context_info &info)
{
    int64_t fd = foperate.gfopen(name, pid);
    const int open_err = errno;
    info = foperate.gfread(fd);
    const int read_err = errno;
    if (fd >= 0)
        foperate.gfclose(fd);
    if (info.len < 0) {
        process_failure(fd < 0 ? open_err : read_err);
        return false;
    }
    return true;
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
    file_context_info info;
    if (!read_file("stat", pid, info))
        return pinfo;
    proc_stat_parse(info.rbuf, pinfo);
    minfo.mtime = machine_stat_info_get();
    return pinfo;
}

proc_info proc_statm_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's statm info\n", static_cast<long>(pid));
    file_context_info info;
    if (read_file("statm", pid, info))
        proc_statm_parse(info.rbuf, pinfo);
    return pinfo;
}

proc_info proc_cmdline_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's cmdline info\n", static_cast<long>(pid));
    file_context_info info;
    if (read_file("cmdline", pid, info))
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

void proc_row_write(const proc_info &p)
{
    db_operate.quillmar_db_exec_row(p, db_operate.quillmar_db_query(p.pid, false, ""));
}

// False when the process ended before it was read: then it has no row and
// its failed reads do not count.
bool proc_info_get(const dirent *entry)
{
    long pid = 0;
    sscanf(entry->d_name, "%ld", &pid);
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld info\n", pid);
    current = {.errors = 0, .gone = false};
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
    proc_row_write(pinfo);
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
    while (const dirent *entry = readdir(fdinfo.procdir)) {
        if (!proc_dir_entry_is_process(dirfd(fdinfo.procdir), entry->d_name) || !proc_info_get(entry))
            continue;
        if (count++ > 0)
            seen_pids += ',';
        seen_pids += entry->d_name;
    }
    // Processes that have ended leave the table with the refresh that no
    // longer sees them.
    seen_pids += ");";
    db_operate.quillmar_db_exec_sql(seen_pids.c_str());

    db_operate.quillmar_db_exec_sql("COMMIT;");
    vskprint(LOG_LEVEL_INFO, __func__, "total of %ld processes are obtained\n", count);
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

    long minflt = 0, cminflt = 0, majflt = 0, cmajflt = 0;
    long utime = 0, stime = 0, cutime = 0, cstime = 0, priority = 0, nice = 0;
    char state = 0;
    sscanf(close + 1, " %c %*d %*d %*d %*d %*d %*u %ld %ld %ld %ld %ld %ld %ld %ld %ld %ld", &state, &minflt,
           &cminflt, &majflt, &cmajflt, &utime, &stime, &cutime, &cstime, &priority, &nice);
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
    long virt = 0, res = 0, shr = 0;
    sscanf(text, "%ld %ld %ld", &virt, &res, &shr);
    info.virt = virt;
    info.res = res;
    info.shr = shr;
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
