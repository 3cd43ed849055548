// Who may use the two queues: the service's request queue is root's and its
// group's, the assistant's reply queue its owner's; replies still reach an
// unprivileged assistant whichever program starts first; and a receiver that
// keeps failing backs off.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
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

// The service's group as a test needs it, written into the run's own copy of
// /etc/group, never the machine's; the copy is as before once the test ends.
class group_state {
public:
    static std::unique_ptr<group_state> present(const std::string &members = "")
    {
        auto g = std::unique_ptr<group_state>(new group_state);
        gid_t gid = 999;
        while (gid > 100 && getgrgid(gid))
            gid--;
        g->write(g->others_ + ipc_group + ":x:" + std::to_string(gid) + ":" + members + "\n");
        return g;
    }

    static std::unique_ptr<group_state> absent()
    {
        auto g = std::unique_ptr<group_state>(new group_state);
        g->write(g->others_);
        return g;
    }

    ~group_state()
    {
        if (private_)
            test::write_file("/etc/group", before_);
    }

    bool ok = true;

private:
    group_state()
    {
        // The run's copy, bound over the machine's file.
        struct stat file, copy;
        private_ = stat("/etc/group", &file) == 0 && stat(test::group_copy, &copy) == 0 &&
                   file.st_dev == copy.st_dev && file.st_ino == copy.st_ino;
        ok = private_;
        before_ = test::read_file("/etc/group");
        const std::string ours = std::string(ipc_group) + ":";
        for (const std::string &line : test::lines_of(before_))
            if (!line.starts_with(ours))
                others_ += line + "\n";
    }
    void write(const std::string &text)
    {
        ok = ok && private_ && test::write_file("/etc/group", text);
    }

    bool private_ = false;
    std::string before_, others_;
};

// Runs fn in a child as uid, a member of the service's group or not, its
// group the one of the uid's number unless given; returns its exit status.
int run_as(uid_t uid, bool member, const std::function<int()> &fn, std::optional<gid_t> primary = {})
{
    pid_t pid = fork();
    if (pid == 0) {
        gid_t gid = group_id();
        if (setgroups(member ? 1 : 0, &gid) != 0 || setgid(primary.value_or(uid)) != 0 || setuid(uid) != 0)
            _exit(100);
        _exit(fn());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return test::exit_status(status);
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
        // The group the package creates, with the desktop user in it.
        group = group_state::present("nobody");
        ASSERT_TRUE(group->ok) << "/etc/group is not the run's own copy, or the copy cannot be written";
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
        remove_queue(paths::ostrivel_ipc_key, 'c');
        remove_queue(paths::quillmar_ipc_key, 'z');
    }

    void stop_service()
    {
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 15);
        daemon.reset();
    }

    static std::string log() { return test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log")); }

    std::unique_ptr<group_state> group;
    std::unique_ptr<test::process> daemon;
};

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

struct queue_owner {
    uid_t cuid, uid;
    gid_t gid;
    unsigned mode;
    bool operator==(const queue_owner &) const = default;
};

std::ostream &operator<<(std::ostream &os, const queue_owner &q)
{
    return os << "{creator " << q.cuid << ", owner " << q.uid << ":" << q.gid << ", mode " << std::oct << q.mode
              << std::dec << "}";
}

std::optional<queue_owner> owner_of(int q)
{
    struct msqid_ds ds;
    if (q < 0 || msgctl(q, IPC_STAT, &ds) != 0)
        return std::nullopt;
    return queue_owner{ds.msg_perm.cuid, ds.msg_perm.uid, ds.msg_perm.gid, ds.msg_perm.mode & 0777u};
}

// As uid, in the service's group or not, until killed: makes the request
// queue whenever it is missing, opens whatever queue has the key to everyone
// when it may, and, outside the group, sends a SysRq command that the board
// would show. (A member's requests are served by right, and would keep the
// service too busy to be seen waiting.)
pid_t start_attacker(uid_t uid, bool member, key_t key)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    gid_t gid = group_id();
    if (setgroups(member ? 1 : 0, &gid) != 0 || setgid(uid) != 0 || setuid(uid) != 0)
        _exit(100);
    struct {
        long mtype;
        char text[16];
    } m{1, "x"};
    for (;;) {
        int id = msgget(key, IPC_CREAT | 0666);
        if (id < 0)
            id = msgget(key, 0);
        if (id < 0)
            continue;
        struct msqid_ds ds;
        if (msgctl(id, IPC_STAT, &ds) == 0 && (ds.msg_perm.mode & 0777) != 0666) {
            ds.msg_perm.mode = 0666;
            msgctl(id, IPC_SET, &ds);
        }
        if (!member)
            msgsnd(id, &m, sizeof(m.text), IPC_NOWAIT);
    }
}

void stop_attacker(pid_t pid)
{
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

TEST_F(QueueAccess, OnlyRootAndTheGroupMaySendRequests)
{
    start_service();
    const int q = request_queue();
    // Made by root as root's and the group's, never anyone else's.
    EXPECT_EQ(owner_of(q), (queue_owner{0, 0, group_id(), 0660}));

    EXPECT_EQ(run_as(user, false, [] { return raw_send(request_queue()); }), EACCES);
    // The assistant of a user outside the group knows why.
    EXPECT_EQ(run_as(user, false,
                     [] {
                         ipc_trouble_info t;
                         return msg_send("0") == -1 && msg_trouble(std::chrono::milliseconds(0), &t)
                                    ? static_cast<int>(t.cause)
                                    : -1;
                     }),
              static_cast<int>(ipc_trouble::not_member));
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
    // The reply queue is made by the assistant, its own and only its own.
    EXPECT_EQ(owner_of(reply_queue()), (queue_owner{user, user, user, 0600}));
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
    EXPECT_EQ(rq.msg_perm.cuid, 0u);
}

TEST_F(QueueAccess, AStrangerRacingFiftyStartsIsNeverServed)
{
    const key_t key = ftok(paths::ostrivel_ipc_key, 'c');
    ASSERT_NE(key, -1);
    pid_t attacker = start_attacker(user, false, key);
    for (int round = 0; round < 50 && !HasFailure(); round++) {
        start_service();
        EXPECT_EQ(owner_of(request_queue()), (queue_owner{0, 0, group_id(), 0660})) << "start " << round;
        stop_service();
    }
    stop_attacker(attacker);
    // Not one "x" of the stranger's reached the kernel's SysRq trigger.
    EXPECT_EQ(test::board::trigger(), "");
}

TEST_F(QueueAccess, AMemberRacingStartsNeverTakesTheQueueOver)
{
    const key_t key = ftok(paths::ostrivel_ipc_key, 'c');
    ASSERT_NE(key, -1);
    pid_t attacker = start_attacker(user, true, key);
    for (int round = 0; round < 50 && !HasFailure(); round++) {
        start_service();
        // Had the member made the queue, it would still be its creator and
        // could open it to everyone; its attempts keep running meanwhile.
        EXPECT_EQ(owner_of(request_queue()), (queue_owner{0, 0, group_id(), 0660})) << "start " << round;
        EXPECT_EQ(run_as(other, false, [] { return raw_send(request_queue()); }), EACCES) << "start " << round;
        stop_service();
    }
    stop_attacker(attacker);
}

// Whether every thread of pid is stopped.
bool all_stopped(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (auto &e : std::filesystem::directory_iterator(dir)) {
        std::string stat = test::read_file(e.path().string() + "/stat");
        size_t paren = stat.rfind(')');
        if (paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] != 'T')
            return false;
    }
    return true;
}

TEST_F(QueueAccess, AQueueOfAStrangerAfterARemovalIsReplaced)
{
    start_service();
    const key_t key = ftok(paths::ostrivel_ipc_key, 'c');
    // The queue is removed, and a stranger's stands in its place before the
    // receiver notices.
    daemon->signal(SIGSTOP);
    ASSERT_TRUE(test::eventually([&] { return all_stopped(daemon->pid()); }));
    ASSERT_EQ(msgctl(request_queue(), IPC_RMID, nullptr), 0);
    ASSERT_EQ(run_as(user, false, [key] { return msgget(key, IPC_CREAT | 0666) >= 0 ? 0 : 1; }), 0);
    EXPECT_EQ(owner_of(request_queue())->cuid, user);
    daemon->signal(SIGCONT);
    EXPECT_TRUE(test::eventually([] { return owner_of(request_queue()) == queue_owner{0, 0, group_id(), 0660}; }));
    EXPECT_TRUE(test::eventually([] { return count_of(log(), "is not ours, making it anew\n") == 1; })) << log();
}

TEST_F(QueueAccess, AGroupTooLargeForAFirstBufferIsStillFound)
{
    // Every user of the host a member: the entry outgrows a small buffer.
    std::string members;
    setpwent();
    while (struct passwd *pw = getpwent()) {
        if (!members.empty())
            members += ',';
        members += pw->pw_name;
    }
    endpwent();
    group.reset();
    group = group_state::present(members);
    ASSERT_TRUE(group->ok);
    ASSERT_TRUE(test::run({"/usr/bin/getent", "group", ipc_group}).out.ends_with(":" + members + "\n"));
    start_service();
    EXPECT_EQ(owner_of(request_queue()), (queue_owner{0, 0, group_id(), 0660}));
}

TEST_F(QueueAccess, WithoutTheGroupTheQueueIsOpenToAllWithOneWarning)
{
    group.reset();
    group = group_state::absent();
    ASSERT_TRUE(group->ok);
    ASSERT_EQ(group_id(), static_cast<gid_t>(-1));
    start_service();
    EXPECT_EQ(owner_of(request_queue()), (queue_owner{0, 0, 0, 0777}));
    EXPECT_EQ(run_as(user, false, [] { return raw_send(request_queue()); }), 0);
    // Made again after a removal: the same rights, and no second warning.
    ASSERT_EQ(msgctl(request_queue(), IPC_RMID, nullptr), 0);
    EXPECT_TRUE(test::eventually([] { return owner_of(request_queue()) == queue_owner{0, 0, 0, 0777}; }));
    ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    EXPECT_EQ(count_of(log(), "[WW]: msg_queue_secure -> group vask does not exist, every user may send requests\n"),
              1u)
        << log();
}

// The lowest descriptor number a process has free: below a limit of that
// number, it can open nothing more.
int first_free_descriptor(pid_t pid)
{
    std::set<int> used;
    for (auto &e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        used.insert(std::stoi(e.path().filename().string()));
    int n = 0;
    while (used.count(n))
        n++;
    return n;
}

TEST_F(QueueAccess, AFailedGroupLookupLeavesTheQueueToRootAlone)
{
    // Given no descriptor beyond those it holds while serving, the service
    // cannot read the group database: the lookup fails, not "no group".
    start_service();
    const int held = first_free_descriptor(daemon->pid());
    stop_service();
    daemon = std::make_unique<test::process>(std::vector<std::string>{
        "/usr/bin/prlimit", "--nofile=" + std::to_string(held) + ":" + std::to_string(held), test::bin("ostrivel")});
    ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    EXPECT_EQ(owner_of(request_queue()), (queue_owner{0, 0, 0, 0600}));
    EXPECT_EQ(run_as(user, true, [] { return raw_send(request_queue()); }), EACCES);
    EXPECT_EQ(count_of(log(), "[EE]: msg_queue_secure -> failed to look up group vask, errno: 24, only root may send "
                              "requests\n"),
              1u)
        << log();
}

// The service answers a member's request only into a reply queue that no
// outsider may read: not one that others may read, nor one that its group,
// or its creator's, may read unless that group is the service's.
TEST_F(QueueAccess, NoAnswerGoesWhereOutsidersMayRead)
{
    start_service();
    const gid_t ours = group_id();
    const struct {
        const char *what;
        uid_t creator;
        gid_t group;
        unsigned mode;
        unsigned answers;
    } cases[] = {
        {"root's, the service's group and others may read", 0, ours, 0644, 0},
        {"a member's, its own group may read", user, user, 0640, 0},
        {"a member's, the service's group may read", user, ours, 0640, 1},
    };
    const key_t key = ftok(paths::quillmar_ipc_key, 'z');
    auto queued = [] {
        struct msqid_ds ds;
        return msgctl(reply_queue(), IPC_STAT, &ds) == 0 ? ds.msg_qnum : 99;
    };
    for (const auto &c : cases) {
        remove_queue(paths::quillmar_ipc_key, 'z');
        const size_t unsent = count_of(log(), "message failed To send");
        ASSERT_EQ(run_as(c.creator, true, [&] { return msgget(key, IPC_CREAT | IPC_EXCL | c.mode) < 0; }, c.group), 0)
            << c.what;
        ASSERT_EQ(run_as(user, true, [] { return raw_send(request_queue()); }), 0) << c.what;
        EXPECT_TRUE(test::eventually([&] { return queued() > 0 || count_of(log(), "message failed To send") > unsent; }))
            << c.what;
        EXPECT_EQ(queued(), c.answers) << c.what << ": reply " << test::wire::describe(reply_queue()) << "\n" << log();
    }
}

// The receiver's own pause, each wait a minute long: only a wake ends it soon.
const ipc_pause_operate *own_pause;
const ipc_pause_operate minute_pause = {
    .pause_for = [](std::chrono::milliseconds) { own_pause->pause_for(std::chrono::minutes(1)); }};

// The assistant's reply queue, squatted by a stranger before it starts: the
// service answers nothing into it, the assistant takes nothing from it and
// names its owner, and the first request after root removes it is answered.
TEST_F(QueueAccess, AStrangersReplyQueueGetsNoAnswerAndIsNamed)
{
    const key_t key = ftok(paths::quillmar_ipc_key, 'z');
    // Handed to root: the creator keeps every right to it all the same.
    ASSERT_EQ(run_as(other, false, [key] {
                  int q = msgget(key, IPC_CREAT | 0622);
                  struct msqid_ds ds;
                  struct {
                      long mtype;
                      char text[16];
                  } forged{1, "7"};
                  if (q < 0 || msgsnd(q, &forged, sizeof(forged.text), 0) != 0 || msgctl(q, IPC_STAT, &ds) != 0)
                      return 1;
                  ds.msg_perm.uid = 0;
                  return msgctl(q, IPC_SET, &ds) == 0 ? 0 : 1;
              }),
              0);
    const int squatted = reply_queue();
    start_service();
    std::string err_path = std::string(test::scratch) + "/vask-assistant-XXXXXX";
    int err_fd = mkstemp(err_path.data());
    ASSERT_GE(err_fd, 0);
    fchmod(err_fd, 0666);
    int go[2], told[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(told), 0);
    pid_t assistant = fork();
    if (assistant == 0) {
        dup2(err_fd, STDERR_FILENO);
        _exit(run_as(user, true, [&] {
            if (pipe(reply_pipe) != 0)
                return 4;
            notifier_register(notifier_gui_update, on_reply);
            own_pause = ipc_pause_set(&minute_pause);
            server_init();
            // Nothing is sent while no reply can come; the holder is named.
            ipc_trouble_info t;
            if (msg_send("1") != -1 || !msg_trouble(std::chrono::milliseconds(0), &t))
                return 8;
            const int said[] = {static_cast<int>(t.cause), t.queue, static_cast<int>(t.holder)};
            (void)!write(told[1], said, sizeof(said));
            char c;
            if (read(go[0], &c, 1) != 1)
                return 7;
            return ask_status();
        }));
    }
    close(go[0]);
    close(told[1]);
    int said[3] = {};
    ASSERT_EQ(read(told[0], said, sizeof(said)), static_cast<ssize_t>(sizeof(said)));
    EXPECT_EQ(said[0], static_cast<int>(ipc_trouble::reply_queue_held));
    EXPECT_EQ(said[1], squatted);
    EXPECT_EQ(said[2], static_cast<int>(other));
    // A member's requests are served, and their answers kept from the stranger.
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(run_as(user, true, [] { return raw_send(request_queue()); }), 0);
    EXPECT_TRUE(test::eventually([] { return count_of(log(), "message failed To send") == 2; })) << log();
    EXPECT_EQ(count_of(log(), "[EE]: reply_queue_trusted -> no answer into reply queue " + std::to_string(squatted) +
                                  ": its owner uid 0 (creator uid 65533) is not root or a member of vask, or "
                                  "others may read it (mode 622)\n"),
              1u)
        << log();
    struct msqid_ds ds;
    ASSERT_EQ(msgctl(squatted, IPC_STAT, &ds), 0);
    EXPECT_EQ(ds.msg_qnum, 1u); // the forged "7" alone
    // Root takes the stranger's queue away; the next request is answered.
    remove_queue(paths::quillmar_ipc_key, 'z');
    char c = 1;
    ASSERT_EQ(write(go[1], &c, 1), 1);
    int status = 0;
    waitpid(assistant, &status, 0);
    // 10 + the service's answer: the forged "7" never reached the callback.
    EXPECT_EQ(WEXITSTATUS(status), 15);
    EXPECT_EQ(owner_of(reply_queue()), (queue_owner{user, user, user, 0600}));
    std::string err = test::read_file(err_path);
    EXPECT_EQ(count_of(err, "failed to remove message queue"), 1u) << err;
    EXPECT_EQ(count_of(err, "message queue is back with id: "), 1u) << err;
    close(err_fd);
    unlink(err_path.c_str());
}

// The receiver's waits, seen through its pause: each one written to a pipe
// in milliseconds, and not waited.
int waits_pipe[2];

void record_wait(std::chrono::milliseconds wait)
{
    const int32_t ms = static_cast<int32_t>(wait.count());
    (void)!write(waits_pipe[1], &ms, sizeof(ms));
}

const ipc_pause_operate recording_pause = {.pause_for = record_wait};

// The assistant's receiver alone in a child that records its waits; gone
// again with its queue and the pipe, and the board laid anew.
class recorded_receiver {
public:
    recorded_receiver()
    {
        if (pipe(waits_pipe) != 0) {
            waits_pipe[0] = waits_pipe[1] = -1;
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            ipc_pause_set(&recording_pause);
            server_init();
            for (;;)
                pause();
        }
    }
    ~recorded_receiver()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : waits_pipe)
            if (fd >= 0)
                close(fd);
        remove_queue(paths::quillmar_ipc_key, 'z');
        test::board::lay();
    }
    pid_t pid() const { return pid_; }

    // The next n waits; fewer when the receiver stops pausing.
    std::vector<int32_t> waits(size_t n) const
    {
        std::vector<int32_t> out;
        pollfd p{waits_pipe[0], POLLIN, 0};
        int32_t ms = 0;
        while (out.size() < n && poll(&p, 1, static_cast<int>(std::chrono::milliseconds(test::patience).count())) == 1 &&
               read(waits_pipe[0], &ms, sizeof(ms)) == sizeof(ms))
            out.push_back(ms);
        return out;
    }

private:
    pid_t pid_ = -1;
};

TEST(ReceiveLoop, WaitsDoubleTo3200MsOnEitherFailure)
{
    const struct {
        const char *path;
        bool key_file;
        int removals; // of the queue under the waiting receiver: each a failed receive
    } cases[] = {
        {"the queue cannot be made", false, 0},
        // The first failed receive is tried again at once, each later one after a wait.
        {"receives keep failing", true, 8},
    };
    for (const auto &c : cases) {
        test::board::lay();
        remove_queue(paths::quillmar_ipc_key, 'z');
        std::optional<test::file_away> key_away;
        if (!c.key_file)
            key_away.emplace(paths::quillmar_ipc_key);
        recorded_receiver receiver;
        ASSERT_GT(receiver.pid(), 0);
        int last = -1;
        for (int i = 0; i < c.removals; i++) {
            int q = -1;
            ASSERT_TRUE(test::eventually([&] {
                q = reply_queue();
                return q >= 0 && q != last;
            })) << c.path << ", removal " << i;
            ASSERT_TRUE(test::wait_until_receiving(receiver.pid())) << c.path << ", removal " << i;
            ASSERT_EQ(msgctl(q, IPC_RMID, nullptr), 0);
            last = q;
        }
        EXPECT_EQ(receiver.waits(7), (std::vector<int32_t>{100, 200, 400, 800, 1600, 3200, 3200})) << c.path;
    }
}

} // namespace
