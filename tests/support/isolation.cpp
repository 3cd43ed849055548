// The entry point of every test binary. Before any test runs, the binary
// enters namespaces of its own, so that no test depends on what the machine
// holds, and no run meets another:
// - System V IPC: the queues under the tests' keys are the tests' own. ftok
//   keeps 16 bits of an inode, so a key may also name a queue of the
//   installed service, of a run killed midway, or of another checkout's run.
// - Mounts: /etc/passwd and /etc/group are private copies, the service's
//   group left out, so a test about the group makes the group it needs and
//   leaves the machine's alone; /run is empty, so no name service cache or
//   user database daemon answers from the machine's files; /proc shows the
//   run's own processes.
// - Pids: the run's processes end with it, even a daemon that a test killed
//   midway left behind, and a test may choose the next pid (ns_last_pid).
// Root needs nothing more. Any other user gets a user namespace of its own,
// in which it stays itself; not under qemu-user, whose thread of its own
// keeps a process from entering one.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string_view>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ipc.h"
#include "support.h"

namespace {

[[noreturn]] void fail(const char *what)
{
    fprintf(stderr, "test isolation: %s: %s\n", what, strerror(errno));
    _exit(125);
}

// A copy of the machine's file, the lines that begin with dropped left out.
std::string copy_of(const char *path, const std::string &dropped)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        fail(path);
    std::string line, kept;
    while (std::getline(in, line))
        if (dropped.empty() || line.compare(0, dropped.size(), dropped) != 0)
            kept += line + "\n";
    return kept;
}

// Waits for child, reaping whatever else ends meanwhile, and ends as it did.
[[noreturn]] void end_with(pid_t child)
{
    for (;;) {
        int status = 0;
        const pid_t ended = wait(&status);
        if (ended == child)
            _exit(test::exit_status(status));
        if (ended < 0 && errno != EINTR)
            fail("wait");
    }
}

// Our own copies of the user database, bound over the machine's.
void private_users()
{
    if (mount("vask-test", test::scratch, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        fail("mount a tmpfs on /run");
    const struct {
        const char *file, *copy;
        std::string dropped;
    } copies[] = {{"/etc/passwd", "/run/passwd", ""}, {"/etc/group", test::group_copy, std::string(ipc_group) + ":"}};
    for (const auto &c : copies)
        if (!test::write_file(c.copy, copy_of(c.file, c.dropped)) ||
            mount(c.copy, c.file, nullptr, MS_BIND, nullptr) != 0)
            fail("bind a copy of the user database");
}

void isolate()
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWIPC | CLONE_NEWNS | CLONE_NEWPID | (uid == 0 ? 0 : CLONE_NEWUSER)) != 0)
        fail("enter namespaces of its own (as root, or where user namespaces are allowed)");
    if (uid != 0 && !(test::write_file("/proc/self/setgroups", "deny") &&
                      test::write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") &&
                      test::write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")))
        fail("map the user into its namespace");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("make the mounts private");

    // The first process in the new pid namespace reaps the run's orphans;
    // when it ends, the kernel ends every process left in the namespace.
    // It ends as soon as the one waiting for it outside does.
    int outside[2];
    if (pipe2(outside, O_CLOEXEC) != 0)
        fail("pipe");
    const pid_t init = fork();
    if (init < 0)
        fail("fork");
    if (init > 0) {
        close(outside[0]);
        end_with(init);
    }
    close(outside[1]);
    pollfd gone = {.fd = outside[0], .events = POLLIN, .revents = 0};
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || poll(&gone, 1, 0) != 0)
        _exit(125);
    if (mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
        fail("mount /proc");
    private_users();
    const pid_t tests = fork();
    if (tests < 0)
        fail("fork");
    if (tests > 0)
        end_with(tests);
    close(outside[0]);
}

} // namespace

int main(int argc, char **argv)
{
    // Listing the tests (as the build does) needs no namespaces: a build
    // where they are refused still builds, and its tests fail saying why.
    if (argc < 2 || std::string_view(argv[1]) != "--gtest_list_tests")
        isolate();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
