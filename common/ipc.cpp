// The queue mechanics shared by both programs: keys, the receiver's own queue
// and its rights, sending, and the receiver thread that hands each message to
// the program's msg_rcv.
#include "ipc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <grp.h>
#include <mutex>
#include <pthread.h>
#include <pwd.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <vector>

#include "log.h"

std::atomic<bool> quit{false};

namespace {

// The peer's queue, when a sender has to make it: the peer takes it over
// (removes it and makes its own) when it starts.
constexpr int peer_queue_mode = 0777;
// The owner's write bit: the kernel checks it against the caller's class.
constexpr int peer_send_right = 0200;
// A squatter can recreate the key between each removal and the exclusive
// make; past this many lost rounds the receiver backs off and tries later.
constexpr int make_tries = 16;
constexpr std::chrono::milliseconds backoff_first{100};
constexpr std::chrono::milliseconds backoff_most{3200};
constexpr std::chrono::milliseconds stop_patience{1000};
constexpr size_t group_buffer_first = 256;
constexpr size_t group_buffer_most = 1 << 20;

// Held by the receiver from the moment it has taken a request until its
// reply is sent, and by server_quit once the program stops.
std::timed_mutex serving;
thread_local bool holds_request = false;

bool rights_match(const struct msqid_ds &ds, const queue_rights &want)
{
    return ds.msg_perm.cuid == want.cuid && ds.msg_perm.uid == want.uid &&
           (want.gid == no_group || ds.msg_perm.gid == want.gid) && (ds.msg_perm.mode & 0777) == want.mode;
}

// A queue just made by this process: created by it and only as open as its
// mode. Handing it to the group narrows nothing and widens it only as asked.
bool queue_settle(int id, const queue_rights &want)
{
    struct msqid_ds ds;
    if (msgctl(id, IPC_STAT, &ds) != 0)
        return false;
    if (rights_match(ds, want))
        return true;
    ds.msg_perm.uid = want.uid;
    if (want.gid != no_group)
        ds.msg_perm.gid = want.gid;
    ds.msg_perm.mode = want.mode;
    return msgctl(id, IPC_SET, &ds) == 0;
}

int own_queue(const ipc_endpoint &endpoint, bool clean, bool quiet)
{
    key_t key = ftok(endpoint.fname, endpoint.flag);
    if (key < 0) {
        if (!quiet)
            vskprint(LOG_LEVEL_WARN, "msgque_handle", "create key failed with: %d, errno: %d\n", key, errno);
        return -1;
    }
    queue_rights want{};
    msg_queue_secure(&want);
    int last = -1; // the last queue found in the way
    for (int attempt = 0; attempt < make_tries; attempt++) {
        int id = msgget(key, IPC_CREAT | IPC_EXCL | static_cast<int>(want.mode));
        if (id >= 0) {
            if (queue_settle(id, want))
                return id;
            int err = errno;
            msgctl(id, IPC_RMID, nullptr);
            if (!quiet)
                vskprint(LOG_LEVEL_WARN, "msgque_handle", "failed to set the message queue's rights, errno: %d\n",
                         err);
            return -2;
        }
        if (errno != EEXIST) {
            if (!quiet)
                vskprint(LOG_LEVEL_WARN, "msgque_handle", "get message queue id failed with: %d, errno: %d\n", id,
                         errno);
            return -2;
        }
        id = msgget(key, 0);
        if (id < 0)
            continue; // removed in between: make it now
        last = id;
        struct msqid_ds ds;
        bool readable = msgctl(id, IPC_STAT, &ds) == 0;
        if (!clean && readable && rights_match(ds, want))
            return id;
        if (clean && !quiet)
            vskprint(LOG_LEVEL_WARN, "msgque_handle", "prepare to clean last message queue\n");
        else if (!quiet)
            vskprint(LOG_LEVEL_WARN, "msgque_handle", "message queue %d is not ours, making it anew\n", id);
        clean = false;
        if (msgctl(id, IPC_RMID, nullptr) != 0 && errno != EINVAL && errno != EIDRM) {
            const int err = errno;
            if (err == EPERM)
                msg_queue_held(id);
            errno = err;
            if (!quiet)
                vskprint(LOG_LEVEL_WARN, "msgque_handle", "failed to remove message queue %d, errno: %d\n", id,
                         errno);
            return -2;
        }
    }
    if (!quiet)
        vskprint(LOG_LEVEL_WARN, "msgque_handle", "message queue taken again after %d removals\n", make_tries);
    msg_queue_held(last);
    return -2;
}

// A sender that needs the receiver's queue now may cut its wait short. Never
// destroyed: the program exits with the receiver waiting on it, and glibc's
// destruction of a condition waited on would wait for that waiter.
struct wake_state {
    std::mutex mutex;
    std::condition_variable cond;
    bool now = false;
};
wake_state &wake = *new wake_state;

void pause_for(std::chrono::milliseconds wait)
{
    std::unique_lock lock(wake.mutex);
    wake.cond.wait_for(lock, wait, [] { return wake.now; });
    wake.now = false;
}

const ipc_pause_operate pause_operate = {
    .pause_for = pause_for,
};

std::atomic<const ipc_pause_operate *> pause_in_use{&pause_operate};

void request_done()
{
    if (holds_request) {
        holds_request = false;
        serving.unlock();
    }
}

void *server_loop(void *)
{
    // A queue that cannot be had, or that fails every receive, is tried
    // again less and less often. The first failure is logged, the retries
    // are quiet, and the return to service is logged once more.
    bool clean = true;
    bool failing = false;
    int failed_receives = 0;
    auto backoff = backoff_first;
    int msgid = -1;
    vask::msgbuf msg;
    for (;;) {
        if (msgid < 0) {
            msgid = own_queue(ipc_own_queue, clean, failing);
            if (msgid < 0) {
                failing = true;
                ipc_pause_get()->pause_for(backoff);
                backoff = std::min(backoff * 2, backoff_most);
                continue;
            }
            clean = false;
            if (failing)
                vskprint(LOG_LEVEL_WARN, __func__, "message queue is back with id: %d\n", msgid);
            failing = false;
            msg_queue_made(msgid);
        }
        int ret = msg_rcv(msgid, &msg);
        request_done();
        if (ret < 0) {
            if (errno == EINTR)
                continue;
            // The queue is gone (removed by another program) or unusable: get
            // it again, the same careful way; pause if that did not help.
            msgid = -1;
            if (++failed_receives > 1) {
                if (!failing)
                    vskprint(LOG_LEVEL_WARN, __func__, "failed to receive from the message queue, errno: %d\n",
                             errno);
                failing = true;
                ipc_pause_get()->pause_for(backoff);
                backoff = std::min(backoff * 2, backoff_most);
            }
            continue;
        }
        failed_receives = 0;
        backoff = backoff_first;
        if (quit)
            break;
    }
    return nullptr;
}

bool server_thread_create(pthread_t *thread)
{
    int ret = pthread_create(thread, nullptr, server_loop, nullptr);
    if (ret != 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "create server thread failed with ret: %d\n", ret);
        return false;
    }
    return true;
}

} // namespace

const ipc_pause_operate *ipc_pause_get()
{
    return pause_in_use.load();
}

const ipc_pause_operate *ipc_pause_set(const ipc_pause_operate *table)
{
    return pause_in_use.exchange(table ? table : &pause_operate);
}

void ipc_receiver_wake()
{
    {
        std::lock_guard lock(wake.mutex);
        wake.now = true;
    }
    wake.cond.notify_all();
}

group_lookup ipc_group_lookup(const char *name, gid_t *gid)
{
    std::vector<char> buf(group_buffer_first);
    for (;;) {
        struct group grp, *found = nullptr;
        int ret = getgrnam_r(name, &grp, buf.data(), buf.size(), &found);
        if (ret == ERANGE && buf.size() < group_buffer_most) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (ret != 0) {
            errno = ret;
            return group_lookup::failed;
        }
        if (!found)
            return group_lookup::missing;
        *gid = found->gr_gid;
        return group_lookup::found;
    }
}

bool ipc_user_lookup(uid_t uid, std::string *name, gid_t *gid)
{
    std::vector<char> buf(group_buffer_first);
    struct passwd pw, *found = nullptr;
    int ret;
    while ((ret = getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < group_buffer_most)
        buf.resize(buf.size() * 2);
    if (ret != 0 || !found)
        return false;
    *name = pw.pw_name;
    *gid = pw.pw_gid;
    return true;
}

int msgque_handle(char FLAG, const char *fname, bool clean)
{
    return own_queue({.flag = FLAG, .fname = fname}, clean, false);
}

int msgque_peer(char FLAG, const char *fname, bool create)
{
    // The caller learns the cause from errno: the log must not change it.
    key_t key = ftok(fname, FLAG);
    if (key < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, "create key failed with: %d, errno: %d\n", key, err);
        errno = err;
        return -1;
    }
    // Looked up with the right to send: who may not send learns it here.
    int id = msgget(key, peer_send_right);
    if (id < 0 && errno == ENOENT && create)
        id = msgget(key, IPC_CREAT | peer_queue_mode);
    if (id < 0) {
        const int err = errno;
        vskprint(LOG_LEVEL_WARN, __func__, "get message queue id failed with: %d, errno: %d\n", id, err);
        errno = err;
        return -2;
    }
    return id;
}

bool msg_post_to(int msgid, std::string_view text, int msgflg)
{
    vask::msgbuf msg{};
    msg.mtype = msg_type;
    text.copy(msg.mcontext, std::min(text.size(), msg_text_max));
    return msgsnd(msgid, &msg, msg_text_size, msgflg) == 0;
}

ssize_t msg_receive(int msgid, vask::msgbuf *msg, char (&text)[msg_text_max + 1])
{
    ssize_t n;
    for (;;) {
        // Bytes past a short message would otherwise be left from the last one.
        memset(msg->mcontext, 0, sizeof(msg->mcontext));
        // Any type: what is not ours must leave the queue too, or it fills it.
        n = msgrcv(msgid, msg, msg_text_size, 0, MSG_NOERROR);
        if (n < 0)
            return -1;
        if (msg->mtype == msg_type)
            break;
        vskprint(LOG_LEVEL_WARN, __func__, "message of type %ld dropped\n", msg->mtype);
    }
    // Once the program stops, a request taken is left unstarted: the lock
    // is then held for good and the exit ends this thread here.
    serving.lock();
    holds_request = true;
    // A sender that is not one of ours may leave out the NUL.
    size_t len = strnlen(msg->mcontext, std::min(static_cast<size_t>(n), msg_text_max));
    memcpy(text, msg->mcontext, len);
    text[len] = '\0';
    return static_cast<ssize_t>(len);
}

bool server_init()
{
    quit = false;
    pthread_t thread;
    if (!server_thread_create(&thread))
        return false;
    if (!ipc_server_waits)
        return true;
    int ret = pthread_join(thread, nullptr);
    if (ret != 0)
        vskprint(LOG_LEVEL_WARN, __func__, "wait for the thread to fail with errno: %d\n", ret);
    return true;
}

void server_quit()
{
    quit = true;
    // Called on the receiver itself (a clean-up from inside a request), it
    // must not wait for its own request.
    if (holds_request)
        return;
    // Kept locked: the process is about to exit, and no request may start.
    (void)serving.try_lock_for(stop_patience);
}
