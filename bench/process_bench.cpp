// Measures the process explorer in CPU time. Without its window: one refresh
// (the collector over the real /proc, then the sorted listing into a counting
// sink), split into the collector's reads, the store and the listing; the
// listing alone re-sorted by each column. With its window (--window): the
// real assistant under an X server of its own, shown on its Process Explorer
// tab, measured from outside: CPU per timer refresh from its utime and stime,
// the longest time its main loop did not answer a _NET_WM_PING, and its peak
// RSS. Beside them, in the same run and on the same processes: lxtask on the
// same X server and htop in tmux, each refreshing every 5 s and measured like
// the assistant, in turn with it; ps, one steady-state refresh of top, and a
// floor that only opens, reads and closes the three files of every process.
//   process_bench [--extra N] [--runs R] [--sort]
//                 [--window ASSISTANT [--refreshes K] [--rss-refreshes M]]
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <sched.h>
#include <spawn.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unordered_map>
#include <unistd.h>
#include <vector>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "database.h"
#include "log.h"
#include "process.h"
#include "procfs.h"

extern char **environ;

namespace {

long listed_rows;

using clock_type = std::chrono::steady_clock;

struct summary {
    double median, min, max;
};

summary summarise(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples.front(), samples.back()};
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

double thread_cpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds of this thread spent in fn, median of runs after a warm-up.
summary cpu_of(int runs, const std::function<void()> &fn)
{
    fn();
    std::vector<double> samples;
    for (int r = 0; r < runs; r++) {
        const double start = thread_cpu();
        fn();
        samples.push_back(thread_cpu() - start);
    }
    return summarise(samples);
}

pid_t spawn(std::vector<const char *> argv, int out_fd = -1)
{
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out_fd >= 0)
        posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, const_cast<char **>(argv.data()), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        fprintf(stderr, "process_bench: cannot start %s: %s\n", argv[0], strerror(rc));
        exit(1);
    }
    return pid;
}

// The CPU seconds (user + system) a command took, from its rusage.
double child_cpu(const std::vector<const char *> &argv)
{
    const pid_t pid = spawn(argv);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
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

// The collector's reads without its store, as it does them: the same file
// operations (each process's files kept open and read again from their
// start), the same parsers and the affinity call, for every process.
std::unordered_map<long, std::array<int64_t, 3>> reads_kept;

void reads_release()
{
    for (auto &[pid, files] : reads_kept)
        for (int64_t fd : files)
            if (fd >= 0)
                close(static_cast<int>(fd));
    reads_kept.clear();
}

void reads_loop()
{
    auto &kept = reads_kept;
    const file_operate ops = *fp_get();
    const int64_t cpus = sysconf(_SC_NPROCESSORS_CONF);
    DIR *proc = opendir("/proc");
    while (dirent *e = readdir(proc)) {
        if (!proc_dir_entry_is_process(dirfd(proc), e->d_name, e->d_type))
            continue;
        const long pid = strtol(e->d_name, nullptr, 10);
        auto [files, added] = kept.try_emplace(pid, std::array<int64_t, 3>{-1, -1, -1});
        proc_info info{};
        int i = 0;
        for (const char *name : {"stat", "statm", "cmdline"}) {
            int64_t &fd = files->second[i++];
            file_context_info text;
            text.len = -1;
            if (fd >= 0)
                text = ops.gfreread(fd);
            if (text.len < 0) {
                if (fd >= 0)
                    ops.gfclose(fd);
                fd = ops.gfopen(name, pid);
                text = ops.gfread(fd);
            }
            if (text.len < 0)
                continue;
            if (name[4] == '\0')
                proc_stat_parse(text.rbuf, info);
            else if (name[4] == 'm')
                proc_statm_parse(text.rbuf, info);
            else
                proc_cmdline_parse(text.rbuf, text.len, info);
        }
        cpu_set_t set;
        CPU_ZERO(&set);
        if (sched_getaffinity(static_cast<pid_t>(pid), 128, &set) == 0) {
            int64_t affinity = 0;
            memcpy(&affinity, &set, sizeof(affinity));
            proc_cpulist_format(affinity, cpus, info.cpulist);
        }
    }
    closedir(proc);
}

long status_kb(pid_t pid, const char *field)
{
    const std::string path = pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status";
    FILE *status = fopen(path.c_str(), "re");
    char line[256];
    long kb = -1;
    const size_t len = strlen(field);
    while (status && fgets(line, sizeof(line), status))
        if (strncmp(line, field, len) == 0 && sscanf(line + len, ": %ld", &kb) == 1)
            break;
    if (status)
        fclose(status);
    return kb;
}

// A process's stat line after its name (which may hold blanks and
// parentheses): the text from the last ')', or null when it cannot be read.
template <size_t N> const char *stat_after_name(pid_t pid, char (&text)[N])
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const ssize_t len = fd < 0 ? -1 : read(fd, text, N - 1);
    if (fd >= 0)
        close(fd);
    if (len <= 0)
        return nullptr;
    text[len] = '\0';
    return strrchr(text, ')');
}

// utime + stime of a process, in seconds (clock ticks of 1/100 s).
double process_cpu(pid_t pid)
{
    char text[1024];
    const char *after = stat_after_name(pid, text);
    unsigned long utime = 0, stime = 0;
    if (!after || sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The run time of a process's main thread in seconds, to the nanosecond.
double main_thread_cpu(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/schedstat", pid);
    FILE *f = fopen(path, "re");
    unsigned long long ns = 0;
    if (!f || fscanf(f, "%llu", &ns) != 1)
        ns = 0;
    if (f)
        fclose(f);
    return static_cast<double>(ns) * 1e-9;
}

void row(const char *what, const summary &s, double processes, double window, double headless)
{
    printf("| %-44s | %9.2f | %9.2f | %9.2f | %10.1f |", what, s.median * 1e3, s.min * 1e3, s.max * 1e3,
           s.median * 1e6 / processes);
    if (window > 0)
        printf(" %8.2f |", window / s.median);
    else
        printf(" %8s |", "-");
    printf(" %8.2f |\n", headless / s.median);
}

// --- the real assistant under its own X server -------------------------------

constexpr char window_title[] = "Vask-Assistant [v3.1]";
constexpr double timer_interval = 5.0;

class assistant_window {
public:
    bool start(const char *assistant);
    void stop();
    ~assistant_window() { stop(); }

    // Round trip of one _NET_WM_PING: GDK answers it from the main loop, so
    // the answer waits for whatever the loop is doing.
    double ping();
    // Keys go to the notebook once its first tab has been clicked; Right
    // shows the Process Explorer, Left the Base Functions again.
    void key(const char *name);
    pid_t pid() const { return assistant_; }
    pid_t server_pid() const { return xvfb_; }
    // A round trip to the X server alone.
    double server_round_trip();
    // A refresh that counted failed reads (a process that ended while it
    // was read) opens a dialog, which takes the keys: closed as a user
    // would close it, and counted.
    int close_dialogs();
    int dialogs() const { return dialogs_; }
    // The first viewable top-level window of a process (with that title, if
    // one is given), waiting for it up to timeout seconds.
    Window find_window(pid_t pid, const char *title, double timeout);
    // Whether another top-level window leaves the assistant's uncovered.
    bool apart_from(Window other);

private:
    pid_t window_pid(Window window);
    pid_t xvfb_ = -1, assistant_ = -1;
    Display *display_ = nullptr;
    Window window_ = 0;
    Atom protocols_ = 0, ping_ = 0, wm_pid_ = 0;
    long serial_ = 0;
    int dialogs_ = 0;
};

bool assistant_window::start(const char *assistant)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    const std::string fd_text = std::to_string(fds[1]);
    // Wide enough for lxtask's window at the left edge beside the assistant's,
    // which centres itself: a covered window draws less.
    xvfb_ = spawn({"Xvfb", "-displayfd", fd_text.c_str(), "-screen", "0", "2560x1024x24", "-nolisten", "tcp"});
    close(fds[1]);
    char number[16] = {};
    ssize_t got = 0;
    for (ssize_t n; got < static_cast<ssize_t>(sizeof(number)) - 1 &&
                    (n = read(fds[0], number + got, sizeof(number) - 1 - static_cast<size_t>(got))) > 0;) {
        got += n;
        if (memchr(number, '\n', static_cast<size_t>(got)))
            break;
    }
    close(fds[0]);
    if (got <= 0) {
        fprintf(stderr, "process_bench: Xvfb did not start\n");
        return false;
    }
    const std::string display = ":" + std::to_string(atoi(number));
    setenv("DISPLAY", display.c_str(), 1);
    display_ = XOpenDisplay(display.c_str());
    if (!display_) {
        fprintf(stderr, "process_bench: cannot open display %s\n", display.c_str());
        return false;
    }
    wm_pid_ = XInternAtom(display_, "_NET_WM_PID", False);
    assistant_ = spawn({assistant});
    window_ = find_window(assistant_, window_title, 30);
    if (!window_) {
        fprintf(stderr, "process_bench: the assistant's window did not appear (is ostrivel running?)\n");
        return false;
    }
    protocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
    ping_ = XInternAtom(display_, "_NET_WM_PING", False);
    XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
    if (ping() < 0) {
        fprintf(stderr, "process_bench: the assistant does not answer _NET_WM_PING\n");
        return false;
    }
    XWindowAttributes attributes;
    XGetWindowAttributes(display_, window_, &attributes);
    int x = 0, y = 0;
    Window child;
    XTranslateCoordinates(display_, window_, DefaultRootWindow(display_), 0, 0, &x, &y, &child);
    const std::string tab_x = std::to_string(x + 20), tab_y = std::to_string(y + 10);
    waitpid(spawn({"xdotool", "mousemove", tab_x.c_str(), tab_y.c_str(), "click", "1"}), nullptr, 0);
    ping();
    return true;
}

Window assistant_window::find_window(pid_t pid, const char *title, double timeout)
{
    const auto start = clock_type::now();
    while (seconds_since(start) < timeout) {
        Window root, parent, *children = nullptr;
        unsigned count = 0;
        Window found = 0;
        if (XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) {
            for (unsigned i = 0; i < count && !found; i++) {
                char *name = nullptr;
                XWindowAttributes attributes;
                if ((!title || (XFetchName(display_, children[i], &name) && name && strcmp(name, title) == 0)) &&
                    XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable &&
                    window_pid(children[i]) == pid)
                    found = children[i];
                if (name)
                    XFree(name);
            }
            if (children)
                XFree(children);
        }
        if (found)
            return found;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

// GDK sets _NET_WM_PID on every top-level window it creates.
pid_t assistant_window::window_pid(Window window)
{
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char *data = nullptr;
    pid_t pid = -1;
    if (XGetWindowProperty(display_, window, wm_pid_, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data && type == XA_CARDINAL && format == 32 && count == 1)
        pid = static_cast<pid_t>(*reinterpret_cast<const unsigned long *>(data)); // format 32 comes as longs
    if (data)
        XFree(data);
    return pid;
}

bool assistant_window::apart_from(Window other)
{
    XWindowAttributes a, b;
    if (!XGetWindowAttributes(display_, window_, &a) || !XGetWindowAttributes(display_, other, &b))
        return false;
    // Without a window manager both are children of the root, placed on it.
    const int aw = a.width + 2 * a.border_width, ah = a.height + 2 * a.border_width;
    const int bw = b.width + 2 * b.border_width, bh = b.height + 2 * b.border_width;
    return a.x + aw <= b.x || b.x + bw <= a.x || a.y + ah <= b.y || b.y + bh <= a.y;
}

double assistant_window::ping()
{
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window_;
    event.xclient.message_type = protocols_;
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(ping_);
    event.xclient.data.l[1] = ++serial_;
    event.xclient.data.l[2] = static_cast<long>(window_);
    const auto start = clock_type::now();
    XSendEvent(display_, window_, False, NoEventMask, &event);
    XFlush(display_);
    for (;;) {
        XEvent reply;
        XNextEvent(display_, &reply);
        if (reply.type == ClientMessage && reply.xclient.data.l[1] == serial_)
            return seconds_since(start);
    }
}

double assistant_window::server_round_trip()
{
    const auto start = clock_type::now();
    XSync(display_, False);
    return seconds_since(start);
}

int assistant_window::close_dialogs()
{
    Window root, parent, *children = nullptr;
    unsigned count = 0;
    int closed = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
        return 0;
    const Atom delete_window = XInternAtom(display_, "WM_DELETE_WINDOW", False);
    for (unsigned i = 0; i < count; i++) {
        XWindowAttributes attributes;
        // lxtask's window shares the server and stays.
        if (children[i] == window_ || !XGetWindowAttributes(display_, children[i], &attributes) ||
            attributes.map_state != IsViewable || attributes.override_redirect ||
            window_pid(children[i]) != assistant_)
            continue;
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = children[i];
        event.xclient.message_type = protocols_;
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(delete_window);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display_, children[i], False, NoEventMask, &event);
        closed++;
    }
    if (children)
        XFree(children);
    XFlush(display_);
    dialogs_ += closed;
    return closed;
}

void assistant_window::key(const char *name)
{
    waitpid(spawn({"xdotool", "key", name}), nullptr, 0);
}

void assistant_window::stop()
{
    if (display_)
        XCloseDisplay(display_);
    display_ = nullptr;
    for (pid_t *pid : {&assistant_, &xvfb_}) {
        if (*pid > 0) {
            kill(*pid, SIGTERM);
            waitpid(*pid, nullptr, 0);
        }
        *pid = -1;
    }
}

// --- the peers: lxtask on the same X server, htop in tmux ---------------------

// Whether a process that is not this one's child has ended (a zombie has).
bool ended(pid_t pid)
{
    char text[512];
    const char *after = stat_after_name(pid, text);
    return !after || after[1] == '\0' || after[2] == 'Z' || after[2] == 'X';
}

// lxtask and htop, started once beside the assistant. Both get a HOME and
// XDG_CONFIG_HOME of their own in a scratch directory, so no user's
// configuration is read or written; tmux gets its own socket there and runs
// in the foreground (-D), a child of the bench that the bench can wait for.
class peer_set {
public:
    bool start(assistant_window &window);
    void stop();
    ~peer_set() { stop(); }
    pid_t lxtask() const { return lxtask_; }
    pid_t htop() const { return htop_; }

private:
    bool start_htop(const std::string &home, const std::string &config);
    std::string dir_, socket_;
    pid_t lxtask_ = -1, tmux_ = -1, htop_ = -1;
};

bool peer_set::start(assistant_window &window)
{
    char dir[] = "/tmp/process_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        fprintf(stderr, "process_bench: cannot make a scratch directory: %s\n", strerror(errno));
        return false;
    }
    dir_ = dir;
    const std::string home = "HOME=" + dir_, config = "XDG_CONFIG_HOME=" + dir_ + "/config";
    // lxtask reads $XDG_CONFIG_HOME/lxtask.conf, refresh_interval in seconds.
    // Every user's processes are listed, as the assistant lists them, in a
    // window of the assistant's size, so both show as many rows.
    FILE *conf = mkdir((dir_ + "/config").c_str(), 0700) == 0 ? fopen((dir_ + "/config/lxtask.conf").c_str(), "wex")
                                                              : nullptr;
    if (!conf || fprintf(conf, "[General]\nshow_user_tasks=1\nshow_root_tasks=1\nshow_other_tasks=1\n"
                               "win_width=800\nwin_height=500\nrefresh_interval=%d\n",
                         static_cast<int>(timer_interval)) < 0 || fclose(conf) != 0) {
        fprintf(stderr, "process_bench: cannot write lxtask.conf in %s\n", dir_.c_str());
        return false;
    }
    lxtask_ = spawn({"env", home.c_str(), config.c_str(), "lxtask"});
    const Window lxtask_window = window.find_window(lxtask_, nullptr, 30);
    if (!lxtask_window) {
        fprintf(stderr, "process_bench: lxtask's window did not appear\n");
        return false;
    }
    if (!window.apart_from(lxtask_window)) {
        fprintf(stderr, "process_bench: lxtask's window covers the assistant's\n");
        return false;
    }
    return start_htop(home, config);
}

bool peer_set::start_htop(const std::string &home, const std::string &config)
{
    socket_ = dir_ + "/tmux";
    tmux_ = spawn({"env", home.c_str(), config.c_str(), "tmux", "-D", "-S", socket_.c_str(), "-f", "/dev/null"});
    struct stat st{};
    for (int i = 0; i < 200 && stat(socket_.c_str(), &st) != 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    // Without the socket the client below would start a server of its own,
    // a daemon out of the bench's reach.
    int fds[2];
    if (!S_ISSOCK(st.st_mode) || pipe2(fds, O_CLOEXEC) != 0) {
        fprintf(stderr, "process_bench: tmux did not start\n");
        return false;
    }
    // Given as separate words, the command runs without a shell: the pane's
    // process, whose pid -P prints, is htop itself.
    const pid_t client = spawn({"env", home.c_str(), config.c_str(), "tmux", "-S", socket_.c_str(), "new-session", "-d",
                                "-P", "-F", "#{pane_pid}", "-x", "200", "-y", "50", "htop", "-d", "50"},
                               fds[1]);
    close(fds[1]);
    char text[32] = {};
    const ssize_t len = read(fds[0], text, sizeof(text) - 1);
    close(fds[0]);
    int status = -1;
    waitpid(client, &status, 0);
    htop_ = len > 0 && status == 0 ? static_cast<pid_t>(atoi(text)) : -1;
    char comm[32] = {};
    for (int i = 0; i < 200 && htop_ > 0 && strcmp(comm, "htop\n") != 0; i++) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const std::string path = "/proc/" + std::to_string(htop_) + "/comm";
        FILE *f = fopen(path.c_str(), "re");
        if (!f || !fgets(comm, sizeof(comm), f))
            comm[0] = '\0';
        if (f)
            fclose(f);
    }
    if (strcmp(comm, "htop\n") != 0) {
        fprintf(stderr, "process_bench: htop is not running in tmux\n");
        return false;
    }
    return true;
}

void peer_set::stop()
{
    if (lxtask_ > 0) {
        kill(lxtask_, SIGTERM);
        waitpid(lxtask_, nullptr, 0);
    }
    // htop is the tmux server's child: ended first, so that it has written
    // whatever it writes on its way out before the directory goes.
    if (htop_ > 0) {
        kill(htop_, SIGTERM);
        for (int i = 0; i < 200 && !ended(htop_); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    if (tmux_ > 0) {
        kill(tmux_, SIGTERM);
        waitpid(tmux_, nullptr, 0);
    }
    if (!dir_.empty())
        waitpid(spawn({"rm", "-rf", "--", dir_.c_str()}), nullptr, 0);
    lxtask_ = tmux_ = htop_ = -1;
    dir_.clear();
}

// Between refreshes the assistant, lxtask and htop sleep, so the run time of
// a main thread (schedstat, to the nanosecond) moves only while it refreshes.
// Waits until the next refresh that begins after a second of stillness is
// over, the run time still for a second again, and returns when it began; the
// epoch if none was over by the deadline.
clock_type::time_point await_refresh(assistant_window &window, pid_t pid, clock_type::time_point deadline)
{
    constexpr double still = 1.0; // longer than a refresh's pauses, far shorter than 5 s
    constexpr double step = 1e-4; // run time within one poll: more than an idle wake-up
    double run = main_thread_cpu(pid);
    clock_type::time_point began{}, moved = clock_type::now();
    for (int polls = 0; clock_type::now() < deadline; polls++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (polls % 5 == 0)
            window.close_dialogs();
        const double now_run = main_thread_cpu(pid);
        const auto now = clock_type::now();
        if (now_run - run > step) {
            if (began == clock_type::time_point{} && std::chrono::duration<double>(now - moved).count() >= still)
                began = now;
            moved = now;
        } else if (began != clock_type::time_point{} && std::chrono::duration<double>(now - moved).count() >= still) {
            return began;
        }
        run = now_run;
    }
    return {};
}

clock_type::time_point after_seconds(clock_type::time_point start, double seconds)
{
    return start + std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
}

struct peer_figures {
    std::vector<double> cpu;    // utime + stime per refresh, window by window
    std::vector<double> period; // from the start of one refresh to the next
};

// A peer's CPU (utime + stime) over `refreshes` of its own refreshes, whole:
// the window opens a second after one refresh is over and closes a second
// after the `refreshes`-th after it is over.
bool measure_peer(assistant_window &window, pid_t pid, int refreshes, peer_figures &figures)
{
    // Generous: htop's interval starts once it has drawn, so it runs late.
    const auto deadline = after_seconds(clock_type::now(), 2 * timer_interval * (refreshes + 2));
    if (await_refresh(window, pid, deadline) == clock_type::time_point{})
        return false;
    const double cpu_start = process_cpu(pid);
    clock_type::time_point first{}, last{};
    for (int k = 1; k <= refreshes; k++) {
        last = await_refresh(window, pid, deadline);
        if (last == clock_type::time_point{})
            return false;
        if (k == 1)
            first = last;
    }
    const double cpu_end = process_cpu(pid);
    if (cpu_start < 0 || cpu_end < 0)
        return false;
    figures.cpu.push_back((cpu_end - cpu_start) / refreshes);
    figures.period.push_back(std::chrono::duration<double>(last - first).count() / (refreshes - 1));
    return true;
}

struct window_figures {
    summary cpu{};               // utime + stime over the timer refreshes, per refresh, window by window
    summary main_thread{};       // the main thread's run time, refresh by refresh
    int refreshes = 0;
    summary ping{};              // round trips while the refreshes ran
    double longest_block = 0;
    size_t pings = 0;
    double longest_server_trip = 0; // the X server's own share of a slow answer
    double server_cpu_per_refresh = 0;
    long peak_rss_kb = 0;
    double switch_wall = 0;      // key press to the answer after the switch's refresh
    summary lxtask{}, htop{};    // the peers' CPU per refresh, window by window
    double lxtask_period = 0, htop_period = 0;
    const char *failed = nullptr; // the program that did not refresh
};

// Waits, closing any dialog the assistant opens meanwhile.
void sleep_until(assistant_window &window, clock_type::time_point when)
{
    while (clock_type::now() < when) {
        window.close_dialogs();
        std::this_thread::sleep_until(std::min(when, clock_type::now() + std::chrono::milliseconds(100)));
    }
}

// The window on the Process Explorer tab, round after round: the CPU of
// `refreshes` timer refreshes of the assistant with nothing else asking it
// for work, then as many refreshes of lxtask, then of htop. All three keep
// refreshing all the time, so each is measured while the other two run, and
// a drift of the machine's load hits the three alike. Then the pings over
// `probe_refreshes` more of the assistant's refreshes.
window_figures measure_window(assistant_window &window, const peer_set &peers, int rounds, int refreshes,
                              int probe_refreshes)
{
    window_figures figures;
    const auto pressed = clock_type::now();
    window.key("Right");
    window.ping(); // answered once the refresh of the page switch is over
    figures.switch_wall = seconds_since(pressed);
    const pid_t pid = window.pid();
    // Each window of the assistant is placed on its timer anew: the timer
    // fires 5 s after the refresh that began at `fired`, then every 5 s; each
    // mark falls well before the next firing and after the last refresh.
    auto mark = [](clock_type::time_point fired, int k) { return after_seconds(fired, timer_interval * k - 0.7); };
    auto next_firing = [&] {
        return await_refresh(window, pid, after_seconds(clock_type::now(), 3 * timer_interval));
    };
    std::vector<double> cpu, server, per_refresh;
    peer_figures lxtask, htop;
    for (int r = 0; r < rounds; r++) {
        const auto fired = next_firing();
        if (fired == clock_type::time_point{}) {
            figures.failed = "the assistant";
            return figures;
        }
        sleep_until(window, mark(fired, 1));
        const double cpu_start = process_cpu(pid);
        const double server_start = process_cpu(window.server_pid());
        double thread_before = main_thread_cpu(pid);
        for (int k = 2; k <= refreshes + 1; k++) {
            sleep_until(window, mark(fired, k));
            const double thread_now = main_thread_cpu(pid);
            per_refresh.push_back(thread_now - thread_before);
            thread_before = thread_now;
        }
        cpu.push_back((process_cpu(pid) - cpu_start) / refreshes);
        server.push_back((process_cpu(window.server_pid()) - server_start) / refreshes);
        if (!measure_peer(window, peers.lxtask(), refreshes, lxtask)) {
            figures.failed = "lxtask";
            return figures;
        }
        if (!measure_peer(window, peers.htop(), refreshes, htop)) {
            figures.failed = "htop";
            return figures;
        }
    }
    figures.cpu = summarise(cpu);
    figures.server_cpu_per_refresh = summarise(server).median;
    figures.main_thread = summarise(per_refresh);
    figures.refreshes = refreshes;
    figures.lxtask = summarise(lxtask.cpu);
    figures.htop = summarise(htop.cpu);
    figures.lxtask_period = summarise(lxtask.period).median;
    figures.htop_period = summarise(htop.period).median;
    // A peer that took no CPU at all over its windows did not refresh.
    if (figures.lxtask.max <= 0)
        figures.failed = "lxtask";
    if (figures.htop.max <= 0)
        figures.failed = "htop";

    // A closed loop of pings, 2 ms apart, up to the mark after the
    // `probe_refreshes`-th refresh from the next firing on.
    const auto fired = next_firing();
    if (fired == clock_type::time_point{}) {
        figures.failed = "the assistant";
        return figures;
    }
    std::vector<double> rtts;
    const auto probe_end = mark(fired, 1 + probe_refreshes);
    while (clock_type::now() < probe_end) {
        rtts.push_back(window.ping());
        if (rtts.size() % 50 == 0)
            window.close_dialogs();
        if (rtts.back() > 0.005)
            figures.longest_server_trip = std::max(figures.longest_server_trip, window.server_round_trip());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    figures.pings = rtts.size();
    figures.ping = summarise(rtts);
    figures.longest_block = figures.ping.max;
    figures.peak_rss_kb = status_kb(pid, "VmHWM");
    return figures;
}

// Refreshes driven by leaving the tab and coming back: every return runs the
// same refresh as the timer (collector, sorted listing, list fill, draw).
void rss_over_refreshes(assistant_window &window, int count)
{
    long hwm_early = -1, rss_early = -1;
    const auto start = clock_type::now();
    const double cpu_start = process_cpu(window.pid());
    std::vector<double> walls;
    for (int i = 1; i <= count; i++) {
        window.key("Left");
        window.ping();
        const auto pressed = clock_type::now();
        window.key("Right");
        window.ping();
        walls.push_back(seconds_since(pressed));
        while (window.close_dialogs() > 0)
            window.ping();
        if (i == 5) {
            hwm_early = status_kb(window.pid(), "VmHWM");
            rss_early = status_kb(window.pid(), "VmRSS");
        }
    }
    printf("\nassistant over %d refreshes by tab switches (%.0f s, %.0f ms CPU per refresh): VmHWM %ld kB after 5, "
           "%ld kB after %d; VmRSS %ld kB after 5, %ld kB after %d\n",
           count, seconds_since(start), (process_cpu(window.pid()) - cpu_start) / count * 1e3, hwm_early, status_kb(window.pid(), "VmHWM"), count, rss_early,
           status_kb(window.pid(), "VmRSS"), count);
    const summary wall = summarise(walls);
    printf("wall time of those refreshes, key press to the next answer: median %.1f ms, min %.1f ms, max %.1f ms\n",
           wall.median * 1e3, wall.min * 1e3, wall.max * 1e3);
}

// The listing's sink: counts the rows instead of drawing them.
void count_row(proc_info)
{
    listed_rows++;
}

} // namespace

[[noreturn]] void quillmar_clean_up(int exitnum)
{
    log_exit();
    exit(exitnum);
}

int main(int argc, char **argv)
{
    int extra = 0, runs = 5, refreshes = 3, rss_refreshes = 0;
    bool sort = false;
    const char *assistant = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--extra") == 0 && i + 1 < argc)
            extra = atoi(argv[++i]);
        else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::max(5, atoi(argv[++i]));
        else if (strcmp(argv[i], "--sort") == 0)
            sort = true;
        else if (strcmp(argv[i], "--window") == 0 && i + 1 < argc)
            assistant = argv[++i];
        else if (strcmp(argv[i], "--refreshes") == 0 && i + 1 < argc)
            refreshes = std::max(3, atoi(argv[++i]));
        else if (strcmp(argv[i], "--rss-refreshes") == 0 && i + 1 < argc)
            rss_refreshes = std::max(10, atoi(argv[++i]));
    }

    std::vector<pid_t> sleepers;
    for (int i = 0; i < extra; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            // Gone with the bench, whichever way it ends.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() == 1)
                _exit(0);
            for (;;)
                pause();
        }
        if (pid > 0)
            sleepers.push_back(pid);
    }

    // The assistant and its X server come first, idle on their first tab, so
    // that every figure below is taken on the same processes.
    assistant_window window;
    if (assistant && !window.start(assistant))
        return 1;
    // The peers too, and static, so that an exit() on the way stops them.
    static peer_set peers;
    if (assistant && !peers.start(window))
        return 1;

    log_init(LOG_LEVEL_ERROR);
    quillmar_db_operate db = db_get_operate();
    db.quillmar_db_list_to(count_row);
    if (db.quillmar_db_init() != 0) {
        fprintf(stderr, "process_bench: the database cannot be opened\n");
        return 1;
    }

    auto refresh = [&] {
        listed_rows = 0;
        proc_list_flush();
        db.quillmar_db_query(0, false, "Pid");
    };
    // Round after round, each measure once per round: the load of a shared
    // machine drifts, and drifts alike for all of them.
    auto thread_run = [](const std::function<void()> &fn) {
        const double start = thread_cpu();
        fn();
        return thread_cpu() - start;
    };
    const std::vector<std::function<double()>> measures = {
        [&] { return thread_run(refresh); },
        [&] { return thread_run([] { proc_list_flush(); }); },
        [&] {
            // The collector's kept files and the copy's would together pass a
            // descriptor limit of 20,000 at 5,000 processes: each holds its
            // files only while measured, after a pass that opens them.
            proc_list_release();
            reads_loop();
            const double cpu = thread_run(reads_loop);
            reads_release();
            proc_list_flush();
            return cpu;
        },
        [&] { return thread_run([&] { db.quillmar_db_query(0, false, "Pid"); }); },
        [] { return child_cpu({"ps", "-e", "-o", "pid,pri,ni,stat,vsz,rss,time,comm,args"}); },
        [] {
            // top keeps what it learned between refreshes: eleven refreshes less one
            // are ten in steady state.
            const double eleven = child_cpu({"top", "-b", "-d", "0.3", "-n", "11"});
            return (eleven - child_cpu({"top", "-b", "-n", "1"})) / 10;
        },
        [] { return child_cpu({"top", "-b", "-n", "1"}); },
        [&] { return thread_run(floor_loop); },
    };
    std::vector<std::vector<double>> samples(measures.size());
    for (int r = -1; r < runs; r++) // the first round warms up
        for (size_t m = 0; m < measures.size(); m++) {
            listed_rows = 0;
            const double cpu = measures[m]();
            if (r >= 0)
                samples[m].push_back(cpu);
        }
    refresh();
    const double processes = static_cast<double>(listed_rows);
    const summary ours = summarise(samples[0]), collect = summarise(samples[1]), reads = summarise(samples[2]),
                  listing = summarise(samples[3]), ps = summarise(samples[4]), top_steady = summarise(samples[5]),
                  top_one = summarise(samples[6]), floor = summarise(samples[7]);
    const summary store = {collect.median - reads.median, collect.min - reads.max, collect.max - reads.min};

    window_figures win;
    if (assistant) {
        win = measure_window(window, peers, runs, refreshes, 3);
        peers.stop();
        if (win.failed) {
            fprintf(stderr, "process_bench: %s did not refresh every %.0f s\n", win.failed, timer_interval);
            window.stop();
            db.quillmar_db_clean();
            return 1;
        }
    }
    const double w = win.cpu.median;

    printf("\n%ld processes (%d extra sleepers); CPU time (user + system) per refresh or run, median of %d rounds "
           "after a warm-up, the measures taken in turn\n",
           static_cast<long>(processes), extra, runs);
    if (assistant)
        printf("the assistant, lxtask and htop: median of %d windows of %d of their own refreshes each, in turn\n",
               runs, refreshes);
    printf("\n");
    printf("| %-44s | %9s | %9s | %9s | %10s | %8s | %8s |\n", "", "median ms", "min ms", "max ms", "us/process",
           "window/x", "headless/x");
    printf("|%s|-----------|-----------|-----------|------------|----------|------------|\n",
           std::string(46, '-').c_str());
    if (assistant) {
        row(("assistant, window: utime+stime / " + std::to_string(win.refreshes)).c_str(), win.cpu, processes, w,
            ours.median);
        row("  its main thread, refresh by refresh", win.main_thread, processes, w, ours.median);
        const summary extras = {w - ours.median, w - ours.max, w - ours.min};
        printf("| %-44s | %9.2f | %9s | %9s | %10.1f | %8s | %8s |\n", "  list fill + draw (window - headless)",
               extras.median * 1e3, "-", "-", extras.median * 1e6 / processes, "-", "-");
    }
    row("headless refresh (collect + sorted list)", ours, processes, w, ours.median);
    row("  collect: reads + store", collect, processes, w, ours.median);
    row("    reads: file operations, parsers, affinity", reads, processes, w, ours.median);
    printf("| %-44s | %9.2f | %9s | %9s | %10.1f | %8s | %8s |\n", "    store (collect - reads)",
           store.median * 1e3, "-", "-", store.median * 1e6 / processes, "-", "-");
    row("  listing: sorted query, rows decoded", listing, processes, w, ours.median);
    if (assistant) {
        row(("lxtask, refresh 5 s: utime+stime / " + std::to_string(win.refreshes)).c_str(), win.lxtask, processes,
            w, ours.median);
        row(("htop -d 50 in tmux: utime+stime / " + std::to_string(win.refreshes)).c_str(), win.htop, processes, w,
            ours.median);
    }
    row("ps -e -o pid,pri,ni,stat,vsz,rss,time,comm,args", ps, processes, w, ours.median);
    row("top -b: one steady-state refresh", top_steady, processes, w, ours.median);
    row("top -b -n 1", top_one, processes, w, ours.median);
    row("floor: open+read+close stat, statm, cmdline", floor, processes, w, ours.median);
    if (assistant) {
        printf("\nassistant's main loop: longest block %.1f ms (the longest of %zu _NET_WM_PING round trips over 3 "
               "timer refreshes; median %.2f ms)\n",
               win.longest_block * 1e3, win.pings, win.ping.median * 1e3);
        printf("X server (it draws lxtask's refreshes too): %.2f ms CPU per refresh of the assistant; its longest "
               "own round trip after a slow answer: %.1f ms\n",
               win.server_cpu_per_refresh * 1e3, win.longest_server_trip * 1e3);
        printf("peers' refresh period, start to start: lxtask %.2f s, htop %.2f s\n", win.lxtask_period,
               win.htop_period);
        printf("assistant's refresh on the switch to the tab, wall time from the key press to the next answer: "
               "%.1f ms\n",
               win.switch_wall * 1e3);
        printf("assistant's peak RSS (VmHWM): %ld kB\n", win.peak_rss_kb);
        printf("dialogs the assistant opened meanwhile, closed by the bench: %d\n", window.dialogs());
        printf("goals: window / lxtask %.2f (<= 1.0), window / htop %.2f, window / steady top %.2f (<= 1.0), "
               "headless / floor %.2f (<= 1.6), longest block / refresh CPU %.2f (<= 1.0)\n",
               w / win.lxtask.median, w / win.htop.median, w / top_steady.median, ours.median / floor.median,
               win.longest_block / w);
    }

    if (sort) {
        static const char *const columns[17] = {"Pid",  "Pr",     "Nice",   "S",       "Virt",   "Res",
                                                "Shr",  "CpuTime", "Res",   "Time",    "Comm",   "Affinity",
                                                "MinFlt", "CMinFlt", "MajFlt", "CMajFlt", "CmdLine"};
        printf("\nsort click: the listing alone, by each column (descending), CPU\n\n");
        printf("| %-10s | %9s | %9s | %9s |\n|------------|-----------|-----------|-----------|\n", "column",
               "median ms", "min ms", "max ms");
        for (const char *column : columns) {
            summary s = cpu_of(runs, [&] {
                listed_rows = 0;
                db.quillmar_db_query(0, true, column);
            });
            printf("| %-10s | %9.2f | %9.2f | %9.2f |\n", column, s.median * 1e3, s.min * 1e3, s.max * 1e3);
        }
    }

    for (int i = 0; i < 10; i++)
        refresh();
    printf("\npeak RSS of the headless collector and store after %d refreshes: %ld kB\n", 4 * runs + 14,
           status_kb(0, "VmHWM"));
    if (assistant && rss_refreshes > 0)
        rss_over_refreshes(window, rss_refreshes);
    // The assistant shares the table; it is dropped once the assistant is gone.
    window.stop();
    db.quillmar_db_clean();

    for (pid_t pid : sleepers)
        kill(pid, SIGKILL);
    for (pid_t pid : sleepers)
        waitpid(pid, nullptr, 0);
    return 0;
}
