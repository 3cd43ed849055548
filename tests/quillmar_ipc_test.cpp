// The assistant's end of the channel in this process: its receiver thread and
// callback, and its sends, against the real queues spoken to directly.
#include <condition_variable>
#include <cstring>
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
// While set, the callback holds the receiver after its value is kept, so
// that the replies after it wait in the queue.
bool hold = false;
std::condition_variable released;

void record(int8_t status)
{
    std::unique_lock lock(mutex);
    received.push_back(status);
    arrived.notify_all();
    released.wait(lock, [] { return !hold; });
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

void set_hold(bool on)
{
    std::lock_guard lock(mutex);
    hold = on;
    released.notify_all();
}

size_t waiting(int msgid)
{
    struct msqid_ds ds;
    return msgctl(msgid, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
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
        replies = test::wire::reply_queue();
        // As a start of the service does: what the last test left unanswered
        // is gone with the queue.
        restart_service_queue();
    }

    void TearDown() override
    {
        set_hold(false);
        test::wire::drain(requests);
        // Every reply taken and done with before the next test.
        EXPECT_TRUE(test::eventually([&] { return waiting(replies) == 0; }));
        EXPECT_TRUE(test::wait_until_receiving(getpid()));
        std::lock_guard lock(mutex);
        received.clear();
    }

    // The request queue removed and made anew, as the service does when it
    // starts: the requests waiting in it are lost.
    void restart_service_queue()
    {
        msgctl(test::wire::request_queue(), IPC_RMID, nullptr);
        requests = test::wire::request_queue();
    }

    // The service's part: takes the next request, which must be text, and
    // answers it with reply.
    void serve(const char *text, const char *reply)
    {
        EXPECT_EQ(test::wire::receive(requests), text);
        ASSERT_TRUE(test::wire::send(replies, reply));
    }

    // The callback got nothing more: the receiver is idle with every reply taken.
    void expect_no_more_values()
    {
        ASSERT_TRUE(test::eventually([&] { return waiting(replies) == 0; }));
        ASSERT_TRUE(test::wait_until_receiving(getpid()));
        std::lock_guard lock(mutex);
        EXPECT_TRUE(received.empty()) << received.front();
    }

    int requests = -1;
    int replies = -1;
};

TEST_F(AssistantChannel, RepliesToFeatureRequestsReachTheCallbackAsNumbers)
{
    struct {
        const char *request;
        const char *reply;
        int value;
    } cases[] = {{"0", "5", 5}, {"1", "-1", -1}, {"2", "0", 0}, {"4", "7", 7},
                 {"8", "127", 127}, {"3", "x", 0}, {"5", "6", 6}, {"6", "1", 1}, {"7", "2", 2}};
    for (const auto &c : cases) {
        ASSERT_EQ(msg_send(c.request), 0);
        serve(c.request, c.reply);
        EXPECT_EQ(next_value(), c.value) << c.request << " answered with " << c.reply;
    }
}

TEST_F(AssistantChannel, RepliesArriveInOrder)
{
    for (const char *request : {"0", "1", "2", "4"})
        ASSERT_EQ(msg_send(request), 0);
    for (const char *reply : {"3", "7", "1", "0"})
        ASSERT_TRUE(test::wire::send(replies, reply));
    std::vector<int> got;
    for (int i = 0; i < 4; i++)
        got.push_back(next_value().value_or(-100));
    EXPECT_EQ(got, (std::vector<int>{3, 7, 1, 0}));
}

TEST_F(AssistantChannel, RepliesToOtherRequestsNeverReachTheCallback)
{
    // Every text but a single digit 0 to 8 is answered with "0" that says
    // nothing of the features.
    for (const char *request : {"t", "b", "g", "0l", "5l", "9l", "9", "12", "b1", "bb", "a", "-h", "", "abcdefg"}) {
        ASSERT_EQ(msg_send(request), 0) << request;
        ASSERT_EQ(msg_send("4"), 0);
        serve(std::string(request).substr(0, 5).c_str(), "0");
        serve("4", "3");
        EXPECT_EQ(next_value(), 3) << request;
        expect_no_more_values();
    }
}

TEST_F(AssistantChannel, RepliesNoRequestWaitsForAreDropped)
{
    // Requests an earlier test left unanswered went with the service's queue;
    // the assistant learns so at its next send. Then none of ours waits.
    ASSERT_EQ(msg_send("t"), 0);
    serve("t", "0");
    ASSERT_TRUE(test::wire::send(replies, "5"));
    expect_no_more_values();
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "6");
    EXPECT_EQ(next_value(), 6);
}

TEST_F(AssistantChannel, WithoutCallbackRepliesAreDropped)
{
    notifier_register(notifier_gui_update, nullptr);
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "5");
    // Only another type: ignored, so still no callback.
    notifier_register(2, record);
    // Taken from the queue, and the receiver is back waiting: "5" is done with.
    ASSERT_TRUE(test::eventually([&] { return waiting(replies) == 0; }));
    ASSERT_TRUE(test::wait_until_receiving(getpid()));
    notifier_register(notifier_gui_update, record);
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "6");
    EXPECT_EQ(next_value(), 6);
}

TEST_F(AssistantChannel, AFailedSendWaitsForNoReply)
{
    const std::string key = paths::ostrivel_ipc_key;
    fs::rename(key, key + ".away");
    int8_t result = 0;
    test::capture_stderr([&] { result = msg_send("4"); });
    fs::rename(key + ".away", key);
    ASSERT_EQ(result, -1);
    ASSERT_EQ(msg_send("t"), 0);
    serve("t", "0");
    expect_no_more_values();
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "6");
    EXPECT_EQ(next_value(), 6);

    // The service's queue full: room for one message, taken by an earlier
    // run's request.
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(requests, IPC_STAT, &ds), 0);
    const auto room = ds.msg_qbytes;
    ds.msg_qbytes = msg_text_size;
    ASSERT_EQ(msgctl(requests, IPC_SET, &ds), 0);
    ASSERT_TRUE(test::wire::send(requests, "m"));
    test::capture_stderr([&] { result = msg_send("4"); });
    ASSERT_EQ(result, -1);
    serve("m", "0");
    ds.msg_qbytes = room;
    ASSERT_EQ(msgctl(requests, IPC_SET, &ds), 0);
    ASSERT_EQ(msg_send("t"), 0);
    serve("t", "0");
    expect_no_more_values();
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "3");
    EXPECT_EQ(next_value(), 3);
}

TEST_F(AssistantChannel, RequestsLostInARestartOfTheServiceWaitForNoReply)
{
    // The service down: the toggle waits in its queue, and a start of the
    // service removes it unanswered.
    ASSERT_EQ(msg_send("4"), 0);
    restart_service_queue();
    ASSERT_EQ(msg_send("t"), 0);
    serve("t", "0");
    expect_no_more_values();
    ASSERT_EQ(msg_send("0"), 0);
    serve("0", "5");
    EXPECT_EQ(next_value(), 5);
}

TEST_F(AssistantChannel, RepliesTheOldServiceSentStillAnswerTheirRequests)
{
    // "0" answered; the receiver is held while the old service answers "4"
    // and then ends, with "t" never taken. The new service answers "0".
    set_hold(true);
    for (const char *request : {"0", "4", "t"})
        ASSERT_EQ(msg_send(request), 0);
    serve("0", "7");
    EXPECT_EQ(next_value(), 7);
    serve("4", "3");
    restart_service_queue();
    ASSERT_EQ(waiting(replies), 1u);
    ASSERT_EQ(msg_send("0"), 0);
    set_hold(false);
    EXPECT_EQ(next_value(), 3);
    serve("0", "5");
    EXPECT_EQ(next_value(), 5);
    expect_no_more_values();
}

TEST_F(AssistantChannel, AReplyTheOldServiceSentBeforeItsRestartIsApplied)
{
    // The old service answers the toggle and ends; the receiver takes the
    // reply only once the new service has made its queue.
    set_hold(true);
    ASSERT_EQ(msg_send("0"), 0);
    ASSERT_EQ(msg_send("4"), 0);
    serve("0", "7");
    EXPECT_EQ(next_value(), 7);
    serve("4", "3");
    restart_service_queue();
    set_hold(false);
    EXPECT_EQ(next_value(), 3);
    expect_no_more_values();
}

TEST_F(AssistantChannel, RequestsOfAnEarlierRunAreAnsweredFirst)
{
    // Left in the service's queue by an assistant that has ended.
    ASSERT_TRUE(test::wire::send(requests, "t"));
    ASSERT_TRUE(test::wire::send(requests, "2"));
    ASSERT_EQ(msg_send("0"), 0);
    serve("t", "0");
    serve("2", "1");
    serve("0", "4");
    EXPECT_EQ(next_value(), 4);
    expect_no_more_values();
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
    EXPECT_TRUE(err.ends_with("message failed to send\n")) << err;
    EXPECT_EQ(err.find("message failed to send\n"), err.size() - strlen("message failed to send\n")) << err;
}

} // namespace
