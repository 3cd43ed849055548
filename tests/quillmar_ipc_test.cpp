// The assistant's end of the channel in this process: its receiver thread and
// callback, and its sends, against the real queues spoken to directly.
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/msg.h>
#include <unistd.h>

#include "common/ipc.h"
#include "quillmar/ipc.h"
#include "paths.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

std::mutex mutex;
std::condition_variable arrived;
std::deque<int> received;

void record(int8_t status)
{
    std::lock_guard lock(mutex);
    received.push_back(status);
    arrived.notify_all();
}

std::optional<int> next_value()
{
    std::unique_lock lock(mutex);
    if (!arrived.wait_for(lock, test::patience, [] { return !received.empty(); }))
        return std::nullopt;
    int value = received.front();
    received.pop_front();
    return value;
}

class AssistantChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        test::board::lay();
        server_init(); // returns at once: the receiver runs beside the tests
        ASSERT_TRUE(test::wait_until_receiving(getpid()));
    }

    void SetUp() override
    {
        notifier_register(notifier_gui_update, record);
        requests = test::wire::request_queue();
        replies = test::wire::reply_queue();
        test::wire::drain(requests);
    }

    void TearDown() override { test::wire::drain(requests); }

    int requests = -1;
    int replies = -1;
};

TEST_F(AssistantChannel, RepliesReachTheCallbackAsNumbers)
{
    struct {
        const char *reply;
        int value;
    } cases[] = {{"5", 5}, {"-1", -1}, {"0", 0}, {"7", 7}, {"127", 127}, {"x", 0}};
    for (const auto &c : cases) {
        ASSERT_TRUE(test::wire::send(replies, c.reply));
        EXPECT_EQ(next_value(), c.value) << c.reply;
    }
}

TEST_F(AssistantChannel, RepliesArriveInOrder)
{
    for (const char *reply : {"3", "7", "1", "0"})
        ASSERT_TRUE(test::wire::send(replies, reply));
    std::vector<int> got;
    for (int i = 0; i < 4; i++)
        got.push_back(next_value().value_or(-100));
    EXPECT_EQ(got, (std::vector<int>{3, 7, 1, 0}));
}

TEST_F(AssistantChannel, WithoutCallbackRepliesAreDropped)
{
    notifier_register(notifier_gui_update, nullptr);
    ASSERT_TRUE(test::wire::send(replies, "5"));
    // Only another type: ignored, so still no callback.
    notifier_register(2, record);
    // Taken from the queue, and the receiver is back waiting: "5" is done with.
    ASSERT_TRUE(test::eventually([&] {
        struct msqid_ds ds;
        return msgctl(replies, IPC_STAT, &ds) == 0 && ds.msg_qnum == 0;
    }));
    ASSERT_TRUE(test::wait_until_receiving(getpid()));
    notifier_register(notifier_gui_update, record);
    ASSERT_TRUE(test::wire::send(replies, "6"));
    EXPECT_EQ(next_value(), 6);
}

TEST_F(AssistantChannel, SendsTheFirstFiveCharactersInTheWireFormat)
{
    struct {
        const char *cmd;
        std::string text;
    } cases[] = {
        {"abcdefg", std::string("abcde") + std::string(11, '\0')},
        {"0", std::string("0") + std::string(15, '\0')},
        {"5l", std::string("5l") + std::string(14, '\0')},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(msg_send(c.cmd), 0);
        EXPECT_EQ(test::wire::receive_raw(requests), c.text) << c.cmd;
    }
}

TEST_F(AssistantChannel, MissingKeyFileFailsTheSend)
{
    const std::string key = paths::ostrivel_ipc_key;
    fs::rename(key, key + ".away");
    int8_t result = 0;
    std::string err = test::capture_stderr([&] { result = msg_send("0"); });
    fs::rename(key + ".away", key);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(test::has_lines_in_order(err, {"create key failed with: -1, errno: 2", "message failed to send"}))
        << err;
}

TEST_F(AssistantChannel, FullQueueFailsAtOnce)
{
    // No service reads the requests: the queue fills and a send fails
    // instead of waiting for room.
    int sent = 0;
    std::string err = test::capture_stderr([&] {
        while (sent < 100000 && msg_send("0") == 0)
            sent++;
    });
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(requests, IPC_STAT, &ds), 0);
    EXPECT_EQ(static_cast<size_t>(sent), ds.msg_qbytes / msg_text_size);
    EXPECT_EQ(err, "message failed to send\n");
}

} // namespace
