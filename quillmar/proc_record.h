// The process explorer's records and the columns of its table: one process as
// collected, stored and shown, the machine totals its percentages are taken
// against, and the 17 columns of the ProcInfo table. The collector fills
// them, the store writes and reads them, the view shows them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct proc_info {
    int64_t pid;
    int64_t priority;
    int64_t nice;
    char state;
    int64_t virt; // pages
    int64_t res;  // pages
    int64_t shr;  // pages
    int64_t cputime;  // utime + stime + cutime + cstime, clock ticks
    char time[280];   // the process's own CPU time as "%02ld:%02ld.%02ld"
    char comm[280];
    int64_t affinity; // CPUs 0-63, -1 when unreadable
    char cpulist[128];
    int64_t minflt;
    int64_t cminflt;
    int64_t majflt;
    int64_t cmajflt;
    char cmdline[280];
};

// The columns of the ProcInfo table, in table order: "SELECT *" yields them
// so, and each holds one field of proc_info.
enum class proc_column : uint8_t {
    Pid, Pr, Nice, S, Virt, Res, Shr, CpuTime, Time, Comm, Affinity, CpuList, MinFlt, CMinFlt, MajFlt, CMajFlt, CmdLine,
};
inline constexpr size_t proc_column_count = 17;

// A number, the state letter (stored as its character code), or a text.
enum class proc_column_kind : uint8_t { integer, state, text };

struct proc_store_column {
    const char *name; // also the sort key
    proc_column_kind kind;
    int64_t proc_info::*integer;           // integer columns
    std::span<char> (*text)(proc_info &p); // text columns: the whole field
};

// One row per column of the table, the store's and the view's one list of
// them. htop keeps its process fields the same way, apart from its scanner.
inline constexpr std::array<proc_store_column, proc_column_count> proc_store_columns = {{
    {"Pid", proc_column_kind::integer, &proc_info::pid, nullptr},
    {"Pr", proc_column_kind::integer, &proc_info::priority, nullptr},
    {"Nice", proc_column_kind::integer, &proc_info::nice, nullptr},
    {"S", proc_column_kind::state, nullptr, nullptr},
    {"Virt", proc_column_kind::integer, &proc_info::virt, nullptr},
    {"Res", proc_column_kind::integer, &proc_info::res, nullptr},
    {"Shr", proc_column_kind::integer, &proc_info::shr, nullptr},
    {"CpuTime", proc_column_kind::integer, &proc_info::cputime, nullptr},
    {"Time", proc_column_kind::text, nullptr, [](proc_info &p) { return std::span<char>(p.time); }},
    {"Comm", proc_column_kind::text, nullptr, [](proc_info &p) { return std::span<char>(p.comm); }},
    {"Affinity", proc_column_kind::integer, &proc_info::affinity, nullptr},
    {"CpuList", proc_column_kind::text, nullptr, [](proc_info &p) { return std::span<char>(p.cpulist); }},
    {"MinFlt", proc_column_kind::integer, &proc_info::minflt, nullptr},
    {"CMinFlt", proc_column_kind::integer, &proc_info::cminflt, nullptr},
    {"MajFlt", proc_column_kind::integer, &proc_info::majflt, nullptr},
    {"CMajFlt", proc_column_kind::integer, &proc_info::cmajflt, nullptr},
    {"CmdLine", proc_column_kind::text, nullptr, [](proc_info &p) { return std::span<char>(p.cmdline); }},
}};

constexpr const proc_store_column &proc_store_column_of(proc_column c)
{
    return proc_store_columns[static_cast<size_t>(c)];
}

// A text column's text, up to its NUL.
std::string_view proc_column_text(const proc_info &p, const proc_store_column &c);

struct machine_info {
    int64_t cpu_count;
    int64_t mtime;    // clock ticks, -1 when unreadable
    int64_t memtotal; // kB, 0 when unreadable
};

// Filled by every refresh of the collector, read by the view after it.
extern machine_info minfo;
