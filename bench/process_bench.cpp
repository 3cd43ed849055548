// Measures one process-explorer refresh without the window: the collector
// over the real /proc, then the sorted listing into a counting sink. Beside
// it, in the same run and on the same processes, `ps` doing the same job.
//   process_bench [--extra N] [--runs R]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

struct summary {
    double median, min, max;
};

summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

double run_ps()
{
    const char *argv[] = {"ps", "-e", "-o", "pid,pri,ni,stat,vsz,rss,time,comm,args", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    auto start = clock_type::now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, "ps", &actions, nullptr, const_cast<char **>(argv), environ) != 0) {
        perror("ps");
        exit(1);
    }
    waitpid(pid, nullptr, 0);
    double elapsed = seconds_since(start);
    posix_spawn_file_actions_destroy(&actions);
    return elapsed;
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
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--extra") == 0)
            extra = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, atoi(argv[i + 1]));
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
        auto start = clock_type::now();
        proc_list_flush();
        db.quillmar_db_query(0, false, "Pid");
        return seconds_since(start);
    };
    refresh(); // warm-up
    run_ps();
    std::vector<double> ours, theirs;
    for (int r = 0; r < runs; r++) {
        ours.push_back(refresh());
        theirs.push_back(run_ps());
    }
    db.quillmar_db_clean();

    for (pid_t pid : sleepers)
        kill(pid, SIGKILL);
    for (pid_t pid : sleepers)
        waitpid(pid, nullptr, 0);

    const summary a = summarise(ours), b = summarise(theirs);
    printf("processes: %ld (%d extra sleepers), runs: %d\n", listed_rows, extra, runs);
    printf("%-34s %10s %10s %10s %14s\n", "", "median ms", "min ms", "max ms", "us / process");
    printf("%-34s %10.2f %10.2f %10.2f %14.1f\n", "refresh (collect + sorted list)", a.median * 1e3, a.min * 1e3,
           a.max * 1e3, a.median * 1e6 / static_cast<double>(listed_rows));
    printf("%-34s %10.2f %10.2f %10.2f %14.1f\n", "ps -e -o pid,...,comm,args", b.median * 1e3, b.min * 1e3,
           b.max * 1e3, b.median * 1e6 / static_cast<double>(listed_rows));
    printf("ratio refresh / ps: %.2f\n", a.median / b.median);
    return 0;
}
