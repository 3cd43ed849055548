// Measures the process explorer without its window: one refresh (the
// collector over the real /proc, then the sorted listing into a counting
// sink), and the listing alone re-sorted by each column. Beside the refresh,
// in the same run and on the same processes: ps, top, and a floor that only
// opens, reads and closes the three files of every process.
//   process_bench [--extra N] [--runs R] [--sort]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "database.h"
#include "log.h"
#include "process.h"

extern char **environ;

namespace {

long listed_rows;

using clock_type = std::chrono::steady_clock;

struct summary {
    double median, min, max;
};

summary measure(int runs, const std::function<void()> &fn)
{
    fn(); // warm-up
    std::vector<double> samples;
    for (int r = 0; r < runs; r++) {
        auto start = clock_type::now();
        fn();
        samples.push_back(std::chrono::duration<double>(clock_type::now() - start).count());
    }
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

void run_quietly(std::vector<const char *> argv)
{
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv.data()), environ) != 0) {
        perror(argv[0]);
        exit(1);
    }
    waitpid(pid, nullptr, 0);
    posix_spawn_file_actions_destroy(&actions);
}

// The least any reader of these files can do.
void floor_loop()
{
    DIR *proc = opendir("/proc");
    char buf[4096];
    while (dirent *e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        for (const char *name : {"stat", "statm", "cmdline"}) {
            char path[300];
            snprintf(path, sizeof(path), "/proc/%s/%s", e->d_name, name);
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                (void)!read(fd, buf, sizeof(buf));
                close(fd);
            }
        }
    }
    closedir(proc);
}

long peak_rss_kb()
{
    FILE *status = fopen("/proc/self/status", "re");
    char line[256];
    long kb = -1;
    while (status && fgets(line, sizeof(line), status))
        if (sscanf(line, "VmHWM: %ld", &kb) == 1)
            break;
    if (status)
        fclose(status);
    return kb;
}

void row(const char *what, const summary &s, double per)
{
    printf("| %-32s | %9.2f | %9.2f | %9.2f | %10.1f |", what, s.median * 1e3, s.min * 1e3, s.max * 1e3,
           s.median * 1e6 / per);
}

} // namespace

// The listing's sink: counts the rows instead of drawing them.
void gtk2_flush_clist(proc_info)
{
    listed_rows++;
}

[[noreturn]] void quillmar_clean_up(int exitnum)
{
    log_exit();
    exit(exitnum);
}

int main(int argc, char **argv)
{
    int extra = 0, runs = 7;
    bool sort = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--extra") == 0 && i + 1 < argc)
            extra = atoi(argv[++i]);
        else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(5, atoi(argv[++i]));
        else if (strcmp(argv[i], "--sort") == 0)
            sort = true;
    }

    std::vector<pid_t> sleepers;
    for (int i = 0; i < extra; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            for (;;)
                pause();
        }
        if (pid > 0)
            sleepers.push_back(pid);
    }

    log_init(LOG_LEVEL_ERROR);
    quillmar_db_operate db = db_get_operate();
    if (db.quillmar_db_init() != 0) {
        fprintf(stderr, "process_bench: the database cannot be opened\n");
        return 1;
    }

    auto refresh = [&] {
        listed_rows = 0;
        proc_list_flush();
        db.quillmar_db_query(0, false, "Pid");
    };
    const summary ours = measure(runs, refresh);
    const double processes = static_cast<double>(listed_rows);
    const summary ps = measure(runs, [] { run_quietly({"ps", "-e", "-o", "pid,pri,ni,stat,vsz,rss,time,comm,args"}); });
    const summary top = measure(runs, [] { run_quietly({"top", "-b", "-n", "1"}); });
    const summary floor = measure(runs, floor_loop);

    printf("\n%ld processes (%d extra sleepers), median of %d runs after a warm-up\n\n", listed_rows, extra, runs);
    printf("| %-32s | %9s | %9s | %9s | %10s | %s |\n", "", "median ms", "min ms", "max ms", "us/process",
           "refresh / this");
    printf("|%s|-----------|-----------|-----------|------------|----------------|\n",
           std::string(34, '-').c_str());
    row("refresh (collect + sorted list)", ours, processes);
    printf(" %14s |\n", "1.00");
    row("ps -e -o pid,...,comm,args", ps, processes);
    printf(" %14.2f |\n", ours.median / ps.median);
    row("top -b -n 1", top, processes);
    printf(" %14.2f |\n", ours.median / top.median);
    row("floor: open+read+close x3", floor, processes);
    printf(" %14.2f |\n", ours.median / floor.median);

    if (sort) {
        static const char *const columns[17] = {"Pid",  "Pr",     "Nice",   "S",       "Virt",   "Res",
                                                "Shr",  "CpuTime", "Res",   "Time",    "Comm",   "Affinity",
                                                "MinFlt", "CMinFlt", "MajFlt", "CMajFlt", "CmdLine"};
        printf("\nsort click: the listing alone, by each column (descending)\n\n");
        printf("| %-10s | %9s | %9s | %9s |\n|------------|-----------|-----------|-----------|\n", "column",
               "median ms", "min ms", "max ms");
        for (const char *column : columns) {
            summary s = measure(runs, [&] {
                listed_rows = 0;
                db.quillmar_db_query(0, true, column);
            });
            printf("| %-10s | %9.2f | %9.2f | %9.2f |\n", column, s.median * 1e3, s.min * 1e3, s.max * 1e3);
        }
    }

    for (int i = 0; i < 10; i++)
        refresh();
    printf("\npeak RSS of the collector and store after %d refreshes: %ld kB\n", 2 * runs + 12, peak_rss_kb());
    db.quillmar_db_clean();

    for (pid_t pid : sleepers)
        kill(pid, SIGKILL);
    for (pid_t pid : sleepers)
        waitpid(pid, nullptr, 0);
    return 0;
}
