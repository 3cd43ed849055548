// The process collector: one refresh reads every process of /proc into the
// ProcInfo table, inside one transaction, and counts the reads that failed.
#include "process.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "database.h"
#include "log.h"
#include "procfs.h"

namespace {

int64_t errcnt;
file_operate foperate;

template <size_t N> void put_text(std::string_view text, char (&field)[N])
{
    const size_t n = std::min(text.size(), N - 1);
    memcpy(field, text.data(), n);
    field[n] = '\0';
}
// The pids of this refresh, as an SQL list; its memory is kept between refreshes.
std::string seen_pids;

// Each process's stat, statm and cmdline stay open from one refresh to the
// next, while the list is shown, and are read again from their start: that
// costs a third of opening, reading and closing them. A descriptor belongs
// to the process it was opened for, never to a later one with the same pid:
// once that process has ended its reads fail, and the file is opened anew.
enum proc_file : size_t { proc_stat, proc_statm, proc_cmdline, proc_file_count };
constexpr const char *proc_file_names[proc_file_count] = {"stat", "statm", "cmdline"};
using proc_fds = std::array<int64_t, proc_file_count>;
constexpr proc_fds no_fds = {-1, -1, -1};

// A row's values as last written: each integer column's number (the
// state's code), and each text column's text and a NUL, in table order.
struct row_values {
    std::array<int64_t, proc_column_count> number{};
    std::string text;
    bool operator==(const row_values &) const = default;
};

// The command line is the one file whose reading makes the kernel walk the
// process's memory. A process's is read when it is new, when its name
// changes (an exec), and otherwise every cmdline_pace refreshes, a minute.
constexpr int64_t cmdline_pace = 12;
uint64_t refresh_count;
// glibc counts the configured processors by listing a sysfs directory, which
// costs more than some refreshes' every other read; the count changes only
// when a processor is added to the machine. Counted at the same pace.
int64_t configured_cpus;

// A process the last refresh met: its files, and its row as written then,
// so that a refresh that reads the same values writes nothing.
struct kept_process {
    int64_t pid;
    proc_fds fd;
    bool written; // the store holds row
    row_values row;
};
// By pid, ascending, as /proc lists its processes: each refresh walks them
// beside the listing, and what it did not meet again is closed.
std::vector<kept_process> kept, kept_next;
size_t kept_at; // the walk's place in kept
// Processes holding files: in kept_next, and in kept from kept_at on.
size_t holding_next, holding_rest;
// The store's count of tables made, when the rows above were written.
uint64_t store_made;
// A process the last refresh met has ended: its row is to go, until the
// delete of ended rows has gone through.
bool ended, delete_due;

bool holds_files(const proc_fds &fd)
{
    return fd != no_fds;
}

// An open stat or statm holds a seq_file buffer of one page in the kernel
// (64 KiB on some arm64 kernels), an open cmdline none. So all three files
// stay open for at most keep_all processes, whose pages stay within a
// budget of the machine's memory, and cmdline alone for the next ones up to
// keep_cmdline, within the descriptor limit. The files of the last refresh
// it has not reached yet count too, as they are still open.
constexpr size_t memory_share = 256; // of the machine's pages
size_t keep_all, keep_cmdline;
// Descriptors the rest of the assistant may need: its X connection, the
// database, the log, icons and fonts.
constexpr rlim_t reserved_fds = 256;

// What the last refresh kept of pid, if it met it; the files of lower pids
// the listing passed over are closed.
kept_process *kept_take(int64_t pid)
{
    for (; kept_at < kept.size() && kept[kept_at].pid <= pid; kept_at++) {
        kept_process &k = kept[kept_at];
        holding_rest -= holds_files(k.fd);
        if (k.pid == pid)
            return &kept[kept_at++];
        ended = true;
        for (int64_t fd : k.fd)
            if (fd >= 0)
                foperate.gfclose(fd);
    }
    return nullptr;
}

// The process being read. A process that ends between the directory scan
// and its reads is no failure of the refresh: its /proc entry has vanished.
struct current_process {
    int64_t errors; // failures that count, once the process is known to live on
    bool gone;
    proc_fds fd; // kept open from the last refresh, or -1
    // stat was read through the descriptor kept for the process the last
    // refresh met, not a later one with its pid
    bool known;
};
current_process current;

void process_failure(int err)
{
    if (err == ENOENT || err == ESRCH)
        current.gone = true;
    else
        current.errors++;
}

// Reads one file of the current process: again from its start when it is
// kept open, else opened. A failed read counts; len is then negative.
file_context_info read_file(proc_file file, int64_t pid)
{
    int64_t &kept_fd = current.fd[file];
    if (kept_fd >= 0) {
        file_context_info info = foperate.gfreread(kept_fd);
        current.known |= info.len >= 0 && file == proc_stat;
        if (info.len >= 0)
            return info;
        foperate.gfclose(kept_fd);
        kept_fd = -1;
    }
    const int64_t fd = foperate.gfopen(proc_file_names[file], pid);
    const int open_err = errno;
    file_context_info info = foperate.gfread(fd);
    const int read_err = errno;
    if (fd >= 0 && info.len >= 0)
        kept_fd = fd;
    else if (fd >= 0)
        foperate.gfclose(fd);
    if (info.len < 0)
        process_failure(fd < 0 ? open_err : read_err);
    return info;
}

// The files of the process just read stay open while the budget allows.
kept_process &keep_files(int64_t pid)
{
    kept_process &k = kept_next.emplace_back(kept_process{.pid = pid, .fd = current.fd, .written = false, .row = {}});
    const size_t held = holding_next + holding_rest;
    for (size_t f = 0; f < proc_file_count; f++)
        if (k.fd[f] >= 0 && held >= (f == proc_cmdline ? keep_cmdline : keep_all)) {
            foperate.gfclose(k.fd[f]);
            k.fd[f] = -1;
        }
    holding_next += holds_files(k.fd);
    return k;
}

void row_encode(const proc_info &p, row_values &r)
{
    r.text.clear();
    for (size_t i = 0; i < proc_column_count; i++) {
        const proc_store_column &c = proc_store_columns[i];
        switch (c.kind) {
        case proc_column_kind::integer: r.number[i] = p.*c.integer; break;
        case proc_column_kind::state: r.number[i] = p.state; break;
        case proc_column_kind::text: r.text.append(proc_column_text(p, c)).push_back('\0'); break;
        }
    }
}

// A text column's text in a row as written.
std::string_view row_text(const row_values &r, proc_column column)
{
    std::string_view rest = r.text;
    for (const proc_store_column &c : proc_store_columns) {
        if (c.kind != proc_column_kind::text)
            continue;
        const std::string_view text = rest.substr(0, rest.find('\0'));
        if (&c == &proc_store_column_of(column))
            return text;
        rest.remove_prefix(std::min(rest.size(), text.size() + 1));
    }
    return {};
}

// A machine file, opened, read once and closed; a failed read counts.
file_context_info machine_file_read(const char *path)
{
    const int64_t fd = foperate.gfopen(path, 0);
    file_context_info info = foperate.gfread(fd);
    if (fd >= 0)
        foperate.gfclose(fd);
    if (info.len < 0)
        errcnt++;
    return info;
}

void machine_mem_info_get()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine mmemory info\n");
    minfo.memtotal = 0;
    const file_context_info info = machine_file_read("/proc/meminfo");
    long memtotal = 0;
    if (info.len >= 0 && sscanf(info.rbuf, "%*s%ld", &memtotal) == 1)
        minfo.memtotal = memtotal;
}

// Once per refresh: every process's percentage is taken against one total.
int64_t machine_stat_info_get()
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine cpu info\n");
    const file_context_info info = machine_file_read("/proc/stat");
    if (info.len < 0)
        return -1;
    long user = 0, nice = 0, system = 0, idle = 0;
    sscanf(info.rbuf, "%*s %ld %ld %ld %ld", &user, &nice, &system, &idle);
    return user + nice + system + idle;
}

proc_info proc_stat_get(proc_info pinfo, int64_t pid)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld's stat info\n", static_cast<long>(pid));
    const file_context_info info = read_file(proc_stat, pid);
    if (info.len >= 0)
        proc_stat_parse(info.rbuf, pinfo);
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

// The rows as last written are no longer the table's: each is written again.
void forget_rows()
{
    for (std::vector<kept_process> *v : {&kept, &kept_next})
        for (kept_process &k : *v)
            k.written = false;
}

// Rows written into a table since made anew (a damaged file replaced, also
// in the middle of a refresh) are gone.
void forget_rows_if_store_made_anew(const quillmar_db_operate &store)
{
    const uint64_t made = store.quillmar_db_made();
    if (made == store_made)
        return;
    store_made = made;
    forget_rows();
}

// Whether the process's command line is read in this refresh, rather than
// taken from its row as last written.
bool cmdline_due(const kept_process *last, const proc_info &pinfo)
{
    if (!last || !current.known)
        return true;
    const std::string_view cmdline = row_text(last->row, proc_column::CmdLine);
    return cmdline.empty() || row_text(last->row, proc_column::Comm) != pinfo.comm ||
           (refresh_count + static_cast<uint64_t>(last->pid)) % cmdline_pace == 0;
}

// False when the process ended before it was read: then it has no row and
// its failed reads do not count.
bool proc_info_get(const dirent *entry, const quillmar_db_operate &store)
{
    long pid = 0; // the name begins with a digit, the listing saw to that
    std::from_chars(entry->d_name, entry->d_name + strlen(entry->d_name), pid);
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get process %ld info\n", pid);
    kept_process *last = kept_take(pid);
    current = {.errors = 0, .gone = false, .fd = last ? last->fd : no_fds, .known = false};
    proc_info pinfo{};
    pinfo = proc_stat_get(pinfo, pid);
    if (!current.gone)
        pinfo = proc_statm_get(pinfo, pid);
    if (!current.gone && cmdline_due(last, pinfo))
        pinfo = proc_cmdline_get(pinfo, pid);
    else if (!current.gone)
        put_text(row_text(last->row, proc_column::CmdLine), pinfo.cmdline);
    pinfo.pid = pid;
    if (!current.gone)
        proc_affinity_get(pinfo, pid);
    if (current.gone) {
        ended |= last != nullptr;
        for (int64_t fd : current.fd)
            if (fd >= 0)
                foperate.gfclose(fd);
        return false;
    }
    forget_rows_if_store_made_anew(store);
    kept_process &k = keep_files(pid);
    errcnt += current.errors;
    // The last row's text stays allocated from one refresh to the next.
    static row_values read;
    row_encode(pinfo, read);
    if (last && last->written && last->row == read) {
        k.row = std::move(last->row);
        k.written = true;
        return true;
    }
    k.row = std::move(read);
    if (last)
        read = std::move(last->row);
    k.written = store.quillmar_db_exec_row(pinfo);
    return true;
}

void proc_list_get(DIR *procdir, const quillmar_db_operate &store)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to get machine info\n");
    if (refresh_count % cmdline_pace == 0 || configured_cpus <= 0)
        configured_cpus = sysconf(_SC_NPROCESSORS_CONF);
    minfo.cpu_count = configured_cpus;
    machine_mem_info_get();
    minfo.mtime = machine_stat_info_get();
    store.quillmar_db_exec_sql("BEGIN;");

    long count = 0;
    seen_pids.assign("DELETE FROM ProcInfo WHERE Pid NOT IN (");
    kept_at = 0;
    kept_next.clear();
    holding_next = 0;
    ended = false;
    while (const dirent *entry = readdir(procdir)) {
        if (!proc_dir_entry_is_process(dirfd(procdir), entry->d_name, entry->d_type) ||
            !proc_info_get(entry, store))
            continue;
        if (count++ > 0)
            seen_pids += ',';
        seen_pids += entry->d_name;
    }
    // Processes that have ended leave the table with the refresh that no
    // longer sees them, and their files are closed. Every row was written
    // for a process met, so while none has ended, none is to go.
    kept_take(INT64_MAX);
    seen_pids += ");";
    delete_due |= ended;
    if (delete_due)
        delete_due = !store.quillmar_db_exec_sql(seen_pids.c_str());
    kept.swap(kept_next);
    holding_rest = holding_next;
    refresh_count++;

    // A transaction that did not commit wrote and deleted nothing.
    if (!store.quillmar_db_exec_sql("COMMIT;")) {
        forget_rows();
        delete_due = true;
    }
    forget_rows_if_store_made_anew(store);
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
    // At most 64 numbers of two digits: 128 bytes hold them and the NUL.
    char *at = text;
    for (int i = 0; i < cpu_count && i < 64; i++)
        if (static_cast<uint64_t>(affinity) >> i & 1)
            at = std::to_chars(at, text + sizeof(text) - 1, i).ptr;
    *at = '\0';
}

void proc_list_init(long phys_pages)
{
    // The soft limit on descriptors is raised as far as the hard one allows:
    // the assistant polls, it never selects, so high descriptors are harmless.
    rlimit limit;
    keep_all = keep_cmdline = 0;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = {.rlim_cur = limit.rlim_max, .rlim_max = limit.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    if (limit.rlim_cur <= reserved_fds)
        return;
    const size_t fds = std::min<rlim_t>(limit.rlim_cur - reserved_fds, SIZE_MAX / 2);
    const size_t pages = phys_pages > 0 ? static_cast<size_t>(phys_pages) / memory_share : 0;
    keep_all = std::min(pages / 2, fds / 3); // two pages a process
    keep_cmdline = fds - 2 * keep_all;
}

int8_t proc_list_flush(const quillmar_db_operate &store)
{
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to flush process list\n");
    errcnt = 0;
    foperate = *fp_get();
    DIR *procdir = opendir("/proc/");
    if (!procdir) {
        vskprint(LOG_LEVEL_INFO, __func__, "open dir \"/proc/\" failed with errno %d\n", errno);
        return -1;
    }
    proc_list_get(procdir, store);
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close files used by the process explorer\n");
    closedir(procdir);
    // A count past what 8 bits hold must not wrap round to "no failure".
    return static_cast<int8_t>(std::min<int64_t>(errcnt, INT8_MAX));
}

void proc_list_release()
{
    if (holding_rest == 0)
        return;
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to close the files kept for the process explorer\n");
    // The rows stay as written, and with them what was last read.
    for (kept_process &k : kept)
        for (int64_t &fd : k.fd)
            if (fd >= 0) {
                foperate.gfclose(fd);
                fd = -1;
            }
    holding_rest = 0;
}
