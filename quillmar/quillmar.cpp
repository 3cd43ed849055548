// quillmar: the desktop assistant. Reads its log level, makes sure it is the
// board's only one, opens its log, starts the reply receiver and hands over to
// the GTK2 window.
#include "quillmar.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glib-unix.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/ipc.h"
#include "gui.h"
#include "log.h"
#include "paths.h"
#include "unique_fd.h"

namespace {

constexpr char program_name[] = "quillmar";

// A start that finds the assistant running: its window was brought to the
// front, or a dialog said that it runs.
constexpr int exit_brought_forward = 0;
constexpr int exit_already_running = 12;

constexpr const char *usage_lines[] = {
    " |----------------------------------------| ",
    " | ./quillmar [help] [dbglevel $]         | ",
    " | help: --help / -h / -?                 | ",
    " | dbglevel: --dbglevel / -d              | ",
    " | $: debug level number, with dbglevel   | ",
    " |----------------------------------------| ",
    " | example:                               | ",
    " | ./quillmar                             | ",
    " | ./quillmar -h                          | ",
    " | ./quillmar -d 3                        | ",
    " | ./quillmar --dbglevel 3                | ",
    " |----------------------------------------| ",
};

[[noreturn]] void usage()
{
    for (const char *line : usage_lines)
        puts(line);
    fflush(stdout);
    exit(1);
}

uint8_t args_parse(int argc, char **argv)
{
    if (argc == 1)
        return LOG_LEVEL_ERROR;
    if (argc != 3)
        usage();
    return curlevel_handle(argv[2]);
}

// Runs from the main loop, not from the signal handler, so that logging and
// exiting are safe.
gboolean signal_handle(gpointer data)
{
    int signum = GPOINTER_TO_INT(data);
    vskprint(LOG_LEVEL_INFO, __func__, "receive SIGTERM or SIGTERM, the program will exit, signo: %d\n", signum);
    quillmar_clean_up(signum);
}

enum class board_lock { held, taken, none };

// Kept open until the process ends: the kernel lets go of the lock then,
// however it ends, so a crashed assistant keeps no later one out.
unique_fd lock_fd;

// The lock is on the key file of the reply queue: the board's one queue, and
// a file that lies in a directory of root's, so that no user can remove or
// replace it and start a second assistant beside the first. The package
// makes it readable to root and vask alone: no one else may hold it.
board_lock board_lock_take(int &err)
{
    unique_fd fd(open(paths::quillmar_ipc_key, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.ok()) {
        err = errno;
        return board_lock::none;
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        err = errno;
        return err == EWOULDBLOCK ? board_lock::taken : board_lock::none;
    }
    lock_fd = std::move(fd);
    return board_lock::held;
}

} // namespace

uint8_t curlevel_handle(const char *buf)
{
    const size_t len = strnlen(buf, 3);
    size_t digits = 0;
    while (digits < len && buf[digits] >= '0' && buf[digits] <= '9')
        digits++;
    uint8_t level = 0;
    if (digits == len && len > 0)
        level = static_cast<uint8_t>(static_cast<int8_t>(strtol(buf, nullptr, 10)));
    return level == 0 || level > LOG_LEVEL_DEBUG ? LOG_LEVEL_DEBUG : level;
}

void quillmar_clean_up(int exitnum)
{
    vskprint(LOG_LEVEL_INFO, __func__, "the program will exit with exitno: %d\n", exitnum);
    server_quit();
    log_exit();
    exit(exitnum);
}

int main(int argc, char **argv)
{
    g_unix_signal_add(SIGTERM, signal_handle, GINT_TO_POINTER(SIGTERM));
    g_unix_signal_add(SIGINT, signal_handle, GINT_TO_POINTER(SIGINT));
    signal(SIGPIPE, SIG_IGN);
    uint8_t level = args_parse(argc, argv);
    // Before the log is opened (emptied) and the reply queue made anew: both
    // are the running assistant's. Until the log is open, lines go to
    // standard error.
    int lock_err = 0;
    const board_lock lock = board_lock_take(lock_err);
    if (lock == board_lock::taken) {
        vskprint(LOG_LEVEL_WARN, __func__, "the assistant is already running on this board\n");
        quillmar_clean_up(gui_show_running(quillmar_clean_up) ? exit_brought_forward : exit_already_running);
    }
    log_init(level);
    vskprint(LOG_LEVEL_INFO, __func__, "log initialization complete, %s v%d.%d, pid: %d\n", program_name,
             quillmar_version_major, quillmar_version_minor, getpid());
    if (lock == board_lock::none)
        vskprint(LOG_LEVEL_ERROR, __func__, "cannot lock %s, errno: %d, a second assistant is not kept out\n",
                 paths::quillmar_ipc_key, lock_err);
    server_init();
    gui_run(quillmar_clean_up);
    quillmar_clean_up(0);
}
