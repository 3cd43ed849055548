// The real ostrivel daemon driven over the real queues with the bare wire
// format: every request class, its reply and the board afterwards.
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include "paths.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

int existing_request_queue()
{
    key_t key = ftok(paths::ostrivel_ipc_key, 'c');
    return key < 0 ? -1 : msgget(key, 0);
}

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
        EXPECT_TRUE(test::wire::send(requests, text, size)) << text;
        return test::wire::receive(replies);
    }

    static std::string log() { return test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log")); }

    int requests = -1;
    int replies = -1;
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
    for (const char *request : {"1", "0", "1", "4", "5l", "0"})
        ASSERT_TRUE(test::wire::send(requests, request));
    std::vector<std::string> got;
    for (int i = 0; i < 6; i++)
        got.push_back(test::wire::receive(replies).value_or("(none)"));
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
    test::wire::drain(replies);
    EXPECT_EQ(ask("0"), "5");
    EXPECT_NE(log().find("[WW]: msg_send -> message failed To send\n"), std::string::npos);
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

} // namespace
