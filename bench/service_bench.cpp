// Measures the service's round trip: requests through the real queues to the
// real ostrivel daemon on the simulated board, one at a time, beside a bare
// msgsnd/msgrcv ping-pong between two processes; and the daemon's memory.
//   service_bench [--requests N]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "wire.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct message {
    long mtype;
    char text[16];
};

struct latency {
    double p50, p99, max, per_second;
};

latency summarise(std::vector<double> us, double total_seconds)
{
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100], us.back(), static_cast<double>(us.size()) / total_seconds};
}

// n round trips: send text to `to`, wait for one message on `from`.
latency round_trips(int to, int from, const char *text, int n)
{
    std::vector<double> us;
    us.reserve(static_cast<size_t>(n));
    message out{}, in{};
    out.mtype = 1;
    strncpy(out.text, text, 5);
    const auto begin = clock_type::now();
    for (int i = 0; i < n; i++) {
        const auto start = clock_type::now();
        if (msgsnd(to, &out, sizeof(out.text), 0) < 0 || msgrcv(from, &in, sizeof(in.text), 1, MSG_NOERROR) < 0) {
            perror("round trip");
            exit(1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(clock_type::now() - start).count());
    }
    return summarise(us, std::chrono::duration<double>(clock_type::now() - begin).count());
}

long status_kb(pid_t pid, const char *field)
{
    FILE *status = fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re");
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

void print(const char *what, const latency &l)
{
    printf("| %-36s | %8.1f | %8.1f | %8.1f | %10.0f |\n", what, l.p50, l.p99, l.max, l.per_second);
}

} // namespace

int main(int argc, char **argv)
{
    int n = 10000;
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "--requests") == 0)
            n = std::max(100, atoi(argv[++i]));

    // The floor: an echo process on two private queues.
    const int ping = msgget(IPC_PRIVATE, IPC_CREAT | 0600), pong = msgget(IPC_PRIVATE, IPC_CREAT | 0600);
    pid_t echo = fork();
    if (echo == 0) {
        message m;
        while (msgrcv(ping, &m, sizeof(m.text), 1, 0) >= 0)
            msgsnd(pong, &m, sizeof(m.text), 0);
        _exit(0);
    }
    const latency floor = round_trips(ping, pong, "0", n);
    msgctl(ping, IPC_RMID, nullptr);
    msgctl(pong, IPC_RMID, nullptr);
    waitpid(echo, nullptr, 0);

    pid_t daemon = fork();
    if (daemon == 0) {
        const std::string ostrivel = std::string(VASK_BIN_DIR) + "/ostrivel";
        execl(ostrivel.c_str(), "ostrivel", static_cast<char *>(nullptr));
        _exit(127);
    }
    if (!test::wait_until_receiving(daemon)) {
        fprintf(stderr, "service_bench: the daemon did not start\n");
        return 1;
    }
    const int requests = test::wire::request_queue(), replies = test::wire::reply_queue();
    test::wire::drain(replies);

    round_trips(requests, replies, "0", 100);
    const long rss_after_100 = status_kb(daemon, "VmRSS");
    const latency status = round_trips(requests, replies, "0", n);
    const latency loglevel = round_trips(requests, replies, "5l", n);
    const long rss_after = status_kb(daemon, "VmRSS"), peak = status_kb(daemon, "VmHWM");
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);

    printf("\n%d requests of each kind, one at a time\n\n", n);
    printf("| %-36s | %8s | %8s | %8s | %10s |\n", "", "p50 us", "p99 us", "max us", "requests/s");
    printf("|--------------------------------------|----------|----------|----------|------------|\n");
    print("status request \"0\"", status);
    print("SysRq log level \"5l\"", loglevel);
    print("floor: msgsnd/msgrcv ping-pong", floor);
    printf("\ndaemon RSS: %ld kB after the first 100 requests, %ld kB after %d more (peak %ld kB)\n", rss_after_100,
           rss_after, 2 * n, peak);
    return 0;
}
