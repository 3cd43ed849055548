// ostrivel: the root service that switches the board's debug features. With
// one or two arguments it runs one command and exits; otherwise it serves the
// assistant's requests from its message queue until stopped by a signal.
#include "ostrivel.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string_view>
#include <unistd.h>

#include "common/ipc.h"
#include "log.h"
#include "magic.h"
#include "notify.h"
#include "rk3588.h"

namespace {

constexpr char program_name[] = "ostrivel";
constexpr int version_major = 3;
constexpr int version_minor = 1;

// Command-line mode: the action was carried out (2), or a SysRq command
// could not be written to the kernel (3).
constexpr int exit_done = 2;
constexpr int exit_sysrq_failed = 3;

constexpr uint8_t bit_otg = 1;
constexpr uint8_t bit_jtag = 2;
constexpr uint8_t bit_sysrq = 4;

constexpr const char *usage_lines[] = {
    "---------------------------------------------------------------------\n",
    "| usage: sudo ostrivel [mp] {muggle}                        |\n",
    "---------------------------------------------------------------------\n",
    "| mp (mana point) introduce:                                        |\n",
    "|     use features by setting the mp bits, or ask for help          |\n",
    "| usage: -h / -? / --help                                           |\n",
    "| bit0:  otg   toggle -> 1  | original -> 0                         |\n",
    "| bit1:  jtag  toggle -> 2  | original -> 0                         |\n",
    "| bit2:  sysrq toggle -> 4  | original -> 0                         |\n",
    "---------------------------------------------------------------------\n",
    "| muggle introduce:                                                 |\n",
    "|     syrsrq is a magic that turns into a muggle when used          |\n",
    "|     https://www.kernel.org/doc/html/latest/admin-guide/sysrq.html |\n",
    "| b - z: use the command sysrq                                      |\n",
    "| 0 - 9: set the log level                                          |\n",
    "---------------------------------------------------------------------\n",
};

size_t leading_run(std::string_view text, bool (*in_run)(char))
{
    size_t n = 0;
    while (n < text.size() && in_run(text[n]))
        n++;
    return n;
}

[[noreturn]] void usage()
{
    for (const char *line : usage_lines)
        vskprint(LOG_LEVEL_INFO, "usage", "%s", line);
    ostrivel_clean_up(1);
}

bool bit_check(uint8_t mp, uint8_t bit)
{
    return (mp & bit) == bit;
}

int8_t returan_value_handle(vkstatus ret, uint8_t status)
{
    return ret == vkstatus::vkon ? static_cast<int8_t>(status) : 0;
}

// One feature of the answer: its handler, its bit and the line that says
// whether it is toggled.
struct feature_switch {
    const char *func;
    const char *message;
    vkstatus (*handle)(bool status);
    uint8_t bit;
};

int8_t prepare2change(const feature_switch &feature, bool status)
{
    vskprint(LOG_LEVEL_INFO, feature.func, feature.message, status ? "true " : "false");
    return returan_value_handle(feature.handle(status), feature.bit);
}

int8_t otg_status_prepare2change(bool status)
{
    static constexpr feature_switch otg = {
        __func__, "whether switch otg status: %s\n", otg_status_handle, bit_otg};
    return prepare2change(otg, status);
}

int8_t jtag_status_prepare2change(bool status)
{
    static constexpr feature_switch jtag = {
        __func__, "whether switch jtag status: %s\n", jtag_status_handle, bit_jtag};
    return prepare2change(jtag, status);
}

int8_t sysrq_status_prepare2change(bool status)
{
    static constexpr feature_switch sysrq = {
        __func__, "whether switch sysrq status: %s\n", sysrq_switch_status_handle, bit_sysrq};
    return prepare2change(sysrq, status);
}

// The stop signals, blocked in every thread from the start and taken only by
// signal_handle, on the main thread. Nothing is needed to take them: no
// descriptor, no thread of their own, so no failure can leave the service
// deaf to a stop.
sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

void signals_install()
{
    // Before any thread exists, so that every thread inherits the mask.
    sigset_t set = stop_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

[[noreturn]] void signal_stop(int signum)
{
    vskprint(LOG_LEVEL_INFO, "signal_handle", "receive SIGTERM or SIGTERM, the program will exit, signo: %d\n", signum);
    ostrivel_clean_up(signum);
}

// A stop that came during a command-line action ends the run as it would
// have ended the service, once the action is done.
void signal_pending_take()
{
    sigset_t set = stop_signals();
    struct timespec now = {0, 0};
    int signum = sigtimedwait(&set, nullptr, &now);
    if (signum > 0)
        signal_stop(signum);
}

[[noreturn]] void signal_handle()
{
    sigset_t set = stop_signals();
    for (;;) {
        int signum = sigwaitinfo(&set, nullptr);
        if (signum > 0)
            signal_stop(signum);
    }
}

void args_parse(int argc, char **argv)
{
    if (argc == 2) {
        ostrivel_parse_cmd(false, argv[1], nullptr);
        signal_pending_take();
        ostrivel_clean_up(exit_done);
    }
    if (argc == 3) {
        std::string_view muggle = argv[2];
        if (!single_leading(muggle, is_digit) && !single_leading(muggle, is_command_letter))
            usage();
        const bool written = ostrivel_parse_cmd(true, argv[1], argv[2]) != sysrq_failed;
        if (!written)
            vskprint(LOG_LEVEL_ERROR, __func__, "the SysRq command %s did not reach the kernel\n", argv[2]);
        signal_pending_take();
        ostrivel_clean_up(written ? exit_done : exit_sysrq_failed);
    }
}

} // namespace

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

bool is_command_letter(char c)
{
    return c >= 'b' && c <= 'z';
}

// Exactly one digit (or letter) at the start of a non-empty text.
bool single_leading(std::string_view text, bool (*in_run)(char))
{
    return leading_run(text, in_run) == std::min<size_t>(text.size(), 1);
}

int8_t ostrivel_use_cmd(uint8_t mp)
{
    int8_t status = 0;
    status += otg_status_prepare2change(bit_check(mp, bit_otg));
    status += jtag_status_prepare2change(bit_check(mp, bit_jtag));
    status += sysrq_status_prepare2change(bit_check(mp, bit_sysrq));
    return status;
}

int8_t ostrivel_parse_cmd(bool muggle_mode, const char *mp, const char *muggle)
{
    std::string_view text = mp;
    if (muggle_mode) {
        if (text != "mp")
            usage();
        return sysrq_trigger_status_handle(muggle) ? 0 : sysrq_failed;
    }
    if (single_leading(text, is_digit)) {
        // An empty text passes the test but names no feature: a status query.
        uint8_t mpvalue = text.empty() ? 0 : static_cast<uint8_t>(text[0] - '0');
        return ostrivel_use_cmd(mpvalue);
    }
    if (text.starts_with("-h") || text.starts_with("-?") || text.starts_with("--help"))
        usage();
    vskprint(LOG_LEVEL_INFO, __func__, "mp of ostrivel is not used correctly\n");
    return 0;
}

void ostrivel_clean_up(int exitnum)
{
    // The main and receiver threads may both end the program; the first one
    // does, the other waits for the exit.
    static std::atomic<bool> cleaning{false};
    if (cleaning.exchange(true))
        for (;;)
            pause();
    vskprint(LOG_LEVEL_INFO, __func__, "the program will exit with exitno: %d\n", exitnum);
    server_quit();
    log_exit();
    exit(exitnum);
}

int main(int argc, char **argv)
{
    signals_install();
    args_parse(argc, argv);
    log_init(LOG_LEVEL_DEBUG);
    vskprint(LOG_LEVEL_INFO, __func__, "log initialization complete, %s v%d.%d, pid: %d\n", program_name, version_major,
             version_minor, getpid());
    notify_socket_take();
    // The receiver serves, and tells the service manager once it can; this
    // thread only waits for the stop.
    if (server_init())
        signal_handle();
    ostrivel_clean_up(0);
}
