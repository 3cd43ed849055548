// The real ostrivel daemon driven over the real queues with the bare wire
// format: every request class, its reply and the board afterwards.
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "paths.h"
#include "support.h"
#include "unique_fd.h"

namespace fs = std::filesystem;

namespace {

int existing_request_queue()
{
    key_t key = ftok(paths::ostrivel_ipc_key, 'c');
    return key < 0 ? -1 : msgget(key, 0);
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Whether a thread of pid sleeps reading a pipe.
bool reading_a_pipe(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (auto &e : fs::directory_iterator(dir))
        if (test::read_file(e.path().string() + "/wchan").find("pipe_read") != std::string::npos)
            return true;
    return false;
}

constexpr char unsent[] = "[WW]: msg_send -> message failed To send\n";

class DaemonTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::board::lay();
        requests = test::wire::request_queue();
        replies = test::wire::reply_queue();
        ASSERT_GE(requests, 0);
        ASSERT_GE(replies, 0);
        test::wire::drain(replies);
        // The service answers only into a queue that others may not read.
        struct msqid_ds ds;
        ASSERT_EQ(msgctl(replies, IPC_STAT, &ds), 0);
        ASSERT_TRUE(ds.msg_perm.cuid == geteuid() && ds.msg_perm.uid == geteuid() && !(ds.msg_perm.mode & 077))
            << "reply " << test::wire::describe(replies) << "; expected one of the test's own (uid " << geteuid()
            << "), mode 600";
    }

    void start()
    {
        daemon = std::make_unique<test::process>(std::vector<std::string>{test::bin("ostrivel")});
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
        requests = test::wire::request_queue();
    }

    void TearDown() override
    {
        if (daemon) {
            daemon->signal(SIGTERM);
            EXPECT_EQ(daemon->wait(), 15);
        }
    }

    std::optional<std::string> ask(std::string_view text, size_t size = 16)
    {
        const size_t logged = log().size();
        EXPECT_TRUE(test::wire::send(requests, text, size)) << text;
        return reply(logged);
    }

    // The next reply, to a request sent after the log held `logged` bytes.
    // A reply the service logs as not sent, or none within the patience,
    // fails the test at once with the reason; its later requests wait no more.
    std::optional<std::string> reply(size_t logged)
    {
        std::optional<std::string> got;
        if (silent)
            return got;
        if (test::eventually([&] {
                return (got = test::wire::receive(replies, std::chrono::milliseconds(0))) ||
                       log().find(unsent, logged) != std::string::npos;
            }) &&
            got)
            return got;
        silent = true;
        const auto lines = test::lines_of(log());
        std::string last;
        for (size_t i = lines.size() > 4 ? lines.size() - 4 : 0; i < lines.size(); i++)
            last += lines[i] + "\n";
        ADD_FAILURE() << "no reply in " << test::wire::describe(replies) << "; the service's log ends:\n" << last;
        return got;
    }

    static std::string log() { return test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log")); }

    int requests = -1;
    int replies = -1;
    bool silent = false;
    std::unique_ptr<test::process> daemon;
};

TEST_F(DaemonTest, EveryRequestClassIsAnsweredOnce)
{
    start();
    struct {
        const char *request;
        const char *reply;
        const char *otg;
        uint32_t iomux;
        const char *sysrq;
        const char *trigger;
    } cases[] = {
        // fresh board: OTG, SD card, SysRq enabled
        {"0", "5", "otg\n", 0x5500, "176\n", ""},
        {"8", "5", "otg\n", 0x5500, "176\n", ""},
        {"1", "4", "host", 0x5500, "176\n", ""},
        {"2", "7", "otg\n", 0xffff11aa, "176\n", ""},
        {"4", "1", "otg\n", 0x5500, "0", ""},
        {"7", "2", "host", 0xffff11aa, "0", ""},
        {"5l", "0", "otg\n", 0x5500, "176\n", "5"},
        {"9l", "0", "otg\n", 0x5500, "176\n", "9"},
        {"9", "0", "otg\n", 0x5500, "176\n", "9"},
        {"12", "0", "otg\n", 0x5500, "176\n", "1"},
        {"b1", "0", "otg\n", 0x5500, "176\n", "b1"},
        {"s", "0", "otg\n", 0x5500, "176\n", "s"},
        {"bb", "0", "otg\n", 0x5500, "176\n", ""},
        {"a", "0", "otg\n", 0x5500, "176\n", ""},
        {"-h", "0", "otg\n", 0x5500, "176\n", ""},
        {"B", "0", "otg\n", 0x5500, "176\n", ""},
        {"", "0", "otg\n", 0x5500, "176\n", ""},
    };
    for (const auto &c : cases) {
        test::board::lay();
        EXPECT_EQ(ask(c.request), c.reply) << "request '" << c.request << "'";
        EXPECT_EQ(test::board::otg_mode(), c.otg) << c.request;
        EXPECT_EQ(test::board::reg(test::board::iomux), c.iomux) << c.request;
        EXPECT_EQ(test::board::sysrq(), c.sysrq) << c.request;
        EXPECT_EQ(test::board::trigger(), c.trigger) << c.request;
    }
    // Nothing more than one reply each.
    EXPECT_EQ(ask("0"), "5");
}

TEST_F(DaemonTest, ASysRqCommandTheKernelDidNotTakeIsAnsweredMinusOne)
{
    start();
    fs::remove(paths::sysrq_trigger);
    for (const char *request : {"h", "5l"})
        EXPECT_EQ(ask(request), "-1") << request;
    // Feature requests and other texts are answered as before, and the
    // service goes on serving.
    EXPECT_EQ(ask("0"), "5");
    EXPECT_EQ(ask("a"), "0");
    fs::create_symlink("/dev/full", paths::sysrq_trigger);
    EXPECT_EQ(ask("s"), "-1");
}

TEST_F(DaemonTest, UnreadableFeaturesAreClearInTheReply)
{
    start();
    test::board::lay({"--no-otg", "--no-mem"});
    EXPECT_EQ(ask("3"), "4");
    EXPECT_EQ(ask("4"), "0");
}

TEST_F(DaemonTest, RepliesComeInRequestOrder)
{
    start();
    const size_t logged = log().size();
    for (const char *request : {"1", "0", "1", "4", "5l", "0"})
        ASSERT_TRUE(test::wire::send(requests, request));
    std::vector<std::string> got;
    for (int i = 0; i < 6; i++)
        got.push_back(reply(logged).value_or("(none)"));
    EXPECT_EQ(got, (std::vector<std::string>{"4", "4", "5", "1", "0", "1"}));
}

TEST_F(DaemonTest, RequestsFromBeforeTheStartAreDiscarded)
{
    ASSERT_TRUE(test::wire::send(requests, "1"));
    ASSERT_TRUE(test::wire::send(requests, "b"));
    start();
    // Had the "1" been served, its reply "4" would come first.
    EXPECT_EQ(ask("0"), "5");
    EXPECT_EQ(test::board::otg_mode(), "otg\n");
    EXPECT_EQ(test::board::trigger(), "");
}

TEST_F(DaemonTest, MalformedMessagesAreReadSafelyAndServiceGoesOn)
{
    start();
    // Longer than the 16-byte text part: cut, and read as its first five.
    EXPECT_EQ(ask(std::string("0") + std::string(40, 'x'), 41), "0");
    EXPECT_EQ(test::board::trigger(), "0");
    EXPECT_EQ(ask("0"), "5");

    // No NUL at all in the 16 bytes: at most five characters are read.
    EXPECT_EQ(ask(std::string(16, 'b'), 16), "0");
    EXPECT_EQ(ask(std::string("c") + std::string(15, '1'), 16), "0");
    EXPECT_EQ(test::board::trigger(), "c1111");

    // A short message after a longer one: nothing of the earlier one is left.
    EXPECT_EQ(ask("12345"), "0");
    EXPECT_EQ(ask("4", 1), "1");
    EXPECT_EQ(test::board::sysrq(), "0");

    // An empty message.
    EXPECT_EQ(ask("", 0), "0");
    EXPECT_EQ(ask("0"), "1");
}

TEST_F(DaemonTest, RemovedQueueIsMadeAgain)
{
    start();
    EXPECT_EQ(ask("0"), "5");
    for (int round = 0; round < 3; round++) {
        ASSERT_EQ(msgctl(requests, IPC_RMID, nullptr), 0);
        // The service makes its queue anew itself; one made here would not
        // be the service's, and would be replaced.
        ASSERT_TRUE(test::eventually([&] { return (requests = existing_request_queue()) >= 0; }));
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
        EXPECT_EQ(ask("1"), round % 2 == 0 ? "4" : "5") << round;
    }
}

TEST_F(DaemonTest, RequestsAndRepliesAreLogged)
{
    start();
    EXPECT_EQ(ask("0"), "5");
    EXPECT_EQ(ask("5l"), "0");
    std::string text = log();
    for (const char *line : {"[II]: msg_rcv -> received message 0\n", "[WW]: msg_send -> message send with 5\n",
                             "[II]: msg_rcv -> received message 5l\n", "[WW]: msg_send -> message send with 0\n",
                             "[WW]: msgque_handle -> prepare to clean last message queue\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST_F(DaemonTest, AFullReplyQueueDoesNotStopTheService)
{
    start();
    // Nobody reads the replies: the reply queue fills, and the service must
    // go on serving instead of waiting for room.
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(replies, IPC_STAT, &ds), 0);
    const size_t room = ds.msg_qbytes / 16;
    for (size_t i = 0; i < room + 10; i++)
        ASSERT_TRUE(test::eventually([&] { return test::wire::send(requests, "b"); })) << i;
    ASSERT_TRUE(test::eventually([&] {
        struct msqid_ds rq;
        return msgctl(requests, IPC_STAT, &rq) == 0 && rq.msg_qnum == 0;
    }));
    // The last request taken is answered too before the replies are drained.
    ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    test::wire::drain(replies);
    EXPECT_EQ(ask("0"), "5");
    EXPECT_NE(log().find(unsent), std::string::npos);
}

TEST_F(DaemonTest, SignalsStopTheServiceWhileItWaits)
{
    for (int signo : {SIGINT, SIGTERM}) {
        start();
        EXPECT_EQ(ask("0"), "5");
        daemon->signal(signo);
        EXPECT_EQ(daemon->wait(), signo);
        daemon.reset();
        auto lines = test::lines_of(log());
        ASSERT_GE(lines.size(), 3u);
        EXPECT_TRUE(lines[lines.size() - 3].ends_with(
            "[II]: signal_handle -> receive SIGTERM or SIGTERM, the program will exit, signo: " +
            std::to_string(signo)));
        EXPECT_TRUE(lines.back().ends_with("[II]: log_exit -> prepare to clean up the log"));
    }
}

TEST_F(DaemonTest, AStopDuringARequestStillSendsItsReply)
{
    start();
    // The OTG attribute is a pipe: the request stays in progress until the
    // test writes the value.
    fs::remove(paths::otg_mode);
    ASSERT_EQ(mkfifo(paths::otg_mode, 0600), 0);
    const size_t logged = log().size();
    ASSERT_TRUE(test::wire::send(requests, "0"));
    ASSERT_TRUE(test::eventually([&] { return reading_a_pipe(daemon->pid()); }));
    daemon->signal(SIGTERM);
    ASSERT_TRUE(test::eventually([] { return log().find("signo: 15\n") != std::string::npos; }));
    int fifo = open(paths::otg_mode, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "otg\n", 4), 4);
    close(fifo);
    EXPECT_EQ(reply(logged), "5");
    EXPECT_EQ(daemon->wait(), 15);
    daemon.reset();
    auto lines = test::lines_of(log());
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(lines.back().ends_with("[II]: log_exit -> prepare to clean up the log"));
    EXPECT_EQ(count_of(log(), "[WW]: msg_send -> message send with 5\n"), 1u) << log();
}

TEST_F(DaemonTest, SignalsStopTheServiceWithNoDescriptorToSpare)
{
    // Given no descriptor beyond standard input, output and error, the log
    // file and syslog's socket, the service still takes its stop signals.
    const int held = 3 + 1 + (fs::exists("/dev/log") ? 1 : 0);
    for (int signo : {SIGTERM, SIGINT}) {
        const std::string limit = std::to_string(held);
        daemon = std::make_unique<test::process>(
            std::vector<std::string>{"/usr/bin/prlimit", "--nofile=" + limit + ":" + limit, test::bin("ostrivel")});
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
        daemon->signal(signo);
        // A service that lost the signal is stopped after the patience.
        std::thread guard([pid = daemon->pid()] {
            for (int i = 0; i < 100 && kill(pid, 0) == 0; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(test::patience) / 100);
            kill(pid, SIGKILL);
        });
        EXPECT_EQ(daemon->wait(), signo);
        guard.join();
        daemon.reset();
        EXPECT_NE(log().find("receive SIGTERM or SIGTERM, the program will exit, signo: " + std::to_string(signo) +
                             "\n"),
                  std::string::npos);
    }
}

// Started as systemd starts it (Type=notify, here with an abstract socket):
// it is ready only once its request queue is made.
TEST_F(DaemonTest, AMissingKeyFileIsLoggedOnceAndTheServiceRecovers)
{
    // A name the kernel chooses, unique on the machine (abstract names are
    // shared by every run, their pids not).
    unique_fd manager(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    struct sockaddr_un addr = {.sun_family = AF_UNIX, .sun_path = {}};
    socklen_t len = sizeof(sa_family_t);
    ASSERT_EQ(bind(manager.get(), reinterpret_cast<sockaddr *>(&addr), len), 0);
    len = sizeof(addr);
    ASSERT_EQ(getsockname(manager.get(), reinterpret_cast<sockaddr *>(&addr), &len), 0);
    // Five hexadecimal digits after the leading NUL.
    char manager_name[8];
    snprintf(manager_name, sizeof(manager_name), "@%.5s", addr.sun_path + 1);
    char told[16];
    test::file_away key(paths::ostrivel_ipc_key);
    setenv("NOTIFY_SOCKET", manager_name, 1);
    daemon = std::make_unique<test::process>(std::vector<std::string>{test::bin("ostrivel")});
    unsetenv("NOTIFY_SOCKET");
    // Ten seconds of a key file that is not there.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    std::string text = log();
    EXPECT_LE(test::lines_of(text).size(), 2u + 5u) << text; // first line, banner, a handful
    EXPECT_EQ(count_of(text, "[WW]: msgque_handle -> create key failed with: -1, errno: 2\n"), 1u) << text;
    EXPECT_LT(recv(manager.get(), told, sizeof(told), 0), 0) << "ready with no request queue";

    key.back();
    ssize_t n = -1;
    ASSERT_TRUE(test::eventually([&] { return (n = recv(manager.get(), told, sizeof(told), 0)) >= 0; }));
    EXPECT_GE(existing_request_queue(), 0);
    EXPECT_EQ(std::string(told, n), "READY=1");
    ASSERT_TRUE(test::eventually([] { return log().find("message queue is back with id: ") != std::string::npos; }));
    ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    requests = existing_request_queue();
    EXPECT_EQ(ask("0"), "5");
    EXPECT_EQ(count_of(log(), "message queue is back with id: "), 1u) << log();
}

TEST_F(DaemonTest, AMessageOfAnotherTypeIsTakenOffTheQueue)
{
    start();
    struct {
        long mtype;
        char text[16];
    } foreign{2, "1"};
    ASSERT_EQ(msgsnd(requests, &foreign, sizeof(foreign.text), IPC_NOWAIT), 0);
    ASSERT_TRUE(test::eventually([&] {
        struct msqid_ds ds;
        return msgctl(requests, IPC_STAT, &ds) == 0 && ds.msg_qnum == 0;
    }));
    // Not served: the next reply is the one to the next request.
    EXPECT_EQ(ask("0"), "5");
    EXPECT_EQ(test::board::otg_mode(), "otg\n");
    EXPECT_EQ(count_of(log(), "[WW]: msg_receive -> message of type 2 dropped\n"), 1u) << log();
}

TEST_F(DaemonTest, RequestTextIsLoggedWithItsControlBytesEscaped)
{
    start();
    EXPECT_EQ(ask("\x1b[2J"), "0");
    EXPECT_EQ(ask("b\n\\"), "0");
    std::string text = log();
    EXPECT_NE(text.find("[II]: msg_rcv -> received message \\x1b[2J\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[II]: msg_rcv -> received message b\\x0a\\x5c\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
}

TEST_F(DaemonTest, TheLogNeverFollowsALinkOrWritesAnothersFile)
{
    const std::string log_path = test::sysroot("/opt/vask/logs/ostrivel0.log");
    const std::string victim = test::sysroot("/victim");
    const std::string kept = "root:secret:1:0:99999:7:::\n";
    struct {
        const char *what;
        std::function<void()> lay;
    } cases[] = {
        {"a link", [&] { fs::create_symlink(victim, log_path); }},
        {"a hard link", [&] { fs::create_hard_link(victim, log_path); }},
        {"a file of another user", [&] {
             test::write_file(log_path, kept);
             ASSERT_EQ(chown(log_path.c_str(), 65534, 65534), 0);
         }},
    };
    for (const auto &c : cases) {
        test::write_file(victim, kept);
        fs::remove(log_path);
        c.lay();
        start();
        EXPECT_EQ(test::read_file(victim), kept) << c.what;
        struct stat st;
        ASSERT_EQ(lstat(log_path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
        EXPECT_EQ(st.st_uid, 0u) << c.what;
        EXPECT_EQ(st.st_nlink, 1u) << c.what;
        EXPECT_TRUE(log().starts_with("try to write file, current level is: 4!\n")) << c.what;
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 15);
        daemon.reset();
    }
    fs::remove(victim);
}

} // namespace
