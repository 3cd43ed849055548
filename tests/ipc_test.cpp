// Who may use the two queues: the service's request queue is root's and its
// group's, the assistant's reply queue its owner's; and replies still reach an
// unprivileged assistant whichever program starts first.
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/ipc.h"
#include "paths.h"
#include "quillmar/ipc.h"
#include "support.h"

namespace {

constexpr uid_t user = 65534;  // nobody: an ordinary desktop user
constexpr uid_t other = 65533; // another ordinary user

gid_t group_id()
{
    struct group *g = getgrnam(ipc_group);
    return g ? g->gr_gid : static_cast<gid_t>(-1);
}

// Runs fn in a child as uid, a member of the service's group or not; returns
// its exit status.
int run_as(uid_t uid, bool member, const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        gid_t gid = group_id();
        if (setgroups(member ? 1 : 0, &gid) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
            _exit(100);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int queue_of(const char *key_file, char id)
{
    key_t key = ftok(key_file, id);
    return key < 0 ? -1 : msgget(key, 0);
}

void remove_queue(const char *key_file, char id)
{
    int q = queue_of(key_file, id);
    if (q >= 0)
        msgctl(q, IPC_RMID, nullptr);
}

int request_queue()
{
    return queue_of(paths::ostrivel_ipc_key, 'c');
}

int reply_queue()
{
    return queue_of(paths::quillmar_ipc_key, 'z');
}

// Sends one raw request; 0 when it went in, else the errno.
int raw_send(int q)
{
    struct {
        long mtype;
        char text[16];
    } m{1, "0"};
    return msgsnd(q, &m, sizeof(m.text), IPC_NOWAIT) == 0 ? 0 : errno;
}

// The assistant's side in a child: receiver started, callback registered.
int reply_pipe[2];
void on_reply(int8_t value)
{
    (void)!write(reply_pipe[1], &value, 1);
}

// Sends "0" and waits for the value the callback gets; exit status 10 + it.
int ask_status()
{
    if (msg_send("0") != 0)
        return 1;
    pollfd p{reply_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(test::patience).count())) != 1)
        return 2;
    int8_t value = -1;
    return read(reply_pipe[0], &value, 1) == 1 ? 10 + value : 3;
}

int start_assistant()
{
    if (pipe(reply_pipe) != 0)
        return 4;
    server_init();
    if (!test::wait_until_receiving(getpid()))
        return 5;
    notifier_register(notifier_gui_update, on_reply);
    return 0;
}

class QueueAccess : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The group the package creates.
        if (group_id() == static_cast<gid_t>(-1)) {
            ASSERT_EQ(test::run({"/usr/sbin/groupadd", "--system", ipc_group}).status, 0);
        }
        ASSERT_NE(group_id(), static_cast<gid_t>(-1));
        test::board::lay();
        remove_queue(paths::ostrivel_ipc_key, 'c');
        remove_queue(paths::quillmar_ipc_key, 'z');
    }

    void start_service()
    {
        daemon = std::make_unique<test::process>(std::vector<std::string>{test::bin("ostrivel")});
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    }

    void TearDown() override
    {
        if (daemon) {
            daemon->signal(SIGTERM);
            daemon->wait();
        }
    }

    std::unique_ptr<test::process> daemon;
};

TEST_F(QueueAccess, OnlyRootAndTheGroupMaySendRequests)
{
    start_service();
    const int q = request_queue();
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.uid, 0u);
    EXPECT_EQ(ds.msg_perm.gid, group_id());
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0660u);

    EXPECT_EQ(run_as(user, false, [] { return raw_send(request_queue()); }), EACCES);
    EXPECT_EQ(run_as(user, true, [] { return raw_send(request_queue()); }), 0);
    // The member's request was served; the reply queue is not the service's
    // to make, so its reply had nowhere to go.
    EXPECT_TRUE(test::eventually([] {
        return test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log")).find("message failed To send") !=
               std::string::npos;
    }));
    EXPECT_EQ(reply_queue(), -1);
}

TEST_F(QueueAccess, RepliesReachTheAssistantWhicheverStartsFirst)
{
    // The service first.
    start_service();
    EXPECT_EQ(run_as(user, true, [] {
                  int rc = start_assistant();
                  return rc != 0 ? rc : ask_status();
              }),
              15); // 10 + OTG, SD card, SysRq enabled
    const int replies = reply_queue();
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(replies, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_perm.uid, user);
    EXPECT_EQ(ds.msg_perm.mode & 0777, 0600u);
    // Nobody but its owner (and root) may put a reply there.
    EXPECT_EQ(run_as(other, true, [] { return raw_send(reply_queue()); }), EACCES);

    // The assistant first: its request waits in a queue it made itself; the
    // service, once started, takes the queue over and answers what follows.
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 15);
    daemon.reset();
    remove_queue(paths::ostrivel_ipc_key, 'c');
    int go[2], ready[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(ready), 0);
    pid_t assistant = fork();
    if (assistant == 0) {
        _exit(run_as(user, true, [&] {
            int rc = start_assistant();
            if (rc != 0 || msg_send("0") != 0)
                return 6;
            char c = 1;
            (void)!write(ready[1], &c, 1);
            if (read(go[0], &c, 1) != 1)
                return 7;
            return ask_status();
        }));
    }
    close(go[0]);
    close(ready[1]); // an assistant that gives up closes the pipe
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    struct msqid_ds rq;
    ASSERT_EQ(msgctl(request_queue(), IPC_STAT, &rq), 0);
    EXPECT_EQ(rq.msg_perm.uid, user);
    EXPECT_EQ(rq.msg_qnum, 1u);
    start_service();
    ASSERT_EQ(write(go[1], &c, 1), 1);
    int status = 0;
    waitpid(assistant, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 15);
    ASSERT_EQ(msgctl(request_queue(), IPC_STAT, &rq), 0);
    EXPECT_EQ(rq.msg_perm.uid, 0u);
}

} // namespace
