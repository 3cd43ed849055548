// quillmar: the desktop assistant. Reads its log level, opens its log, starts
// the reply receiver and hands over to the GTK2 window.
#include "quillmar.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <glib-unix.h>
#include <unistd.h>

#include "common/ipc.h"
#include "gui.h"
#include "log.h"

namespace {

constexpr char program_name[] = "quillmar";

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
    log_init(level);
    vskprint(LOG_LEVEL_INFO, __func__, "log initialization complete, %s v%d.%d, pid: %d\n", program_name,
             quillmar_version_major, quillmar_version_minor, getpid());
    server_init();
    gui_run(quillmar_clean_up);
    quillmar_clean_up(0);
}
