// The queue mechanics shared by both programs: keys, sending, and the
// receiver thread that hands each message to the program's msg_rcv.
#include "ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include "log.h"

std::atomic<bool> quit{false};

namespace {

constexpr int queue_mode = 0777;
constexpr struct timespec receive_backoff = {.tv_sec = 0, .tv_nsec = 100 * 1000 * 1000};

void *server_loop(void *)
{
    msgque_handle(ipc_own_queue.flag, ipc_own_queue.fname, true);
    int msgid = msgque_handle(ipc_own_queue.flag, ipc_own_queue.fname, false);
    if (msgid >= 0)
        msg_queue_secure(msgid);
    vask::msgbuf msg;
    for (;;) {
        if (msg_rcv(msgid, &msg) < 0) {
            int err = errno;
            if (err == EINTR)
                continue;
            // The queue is gone (removed by another program) or was never
            // made: get it again rather than spin on a dead id.
            int id = msgque_handle(ipc_own_queue.flag, ipc_own_queue.fname, false);
            if (id >= 0 && id != msgid) {
                msgid = id;
                msg_queue_secure(msgid);
            } else {
                nanosleep(&receive_backoff, nullptr);
            }
            continue;
        }
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

int msgque_handle(char FLAG, const char *fname, bool clean)
{
    key_t key = ftok(fname, FLAG);
    if (key < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "create key failed with: %d, errno: %d\n", key, errno);
        return -1;
    }
    int id = msgget(key, IPC_CREAT | queue_mode);
    if (id < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "get message queue id failed with: %d, errno: %d\n", id, errno);
        return -2;
    }
    if (clean) {
        vskprint(LOG_LEVEL_WARN, __func__, "prepare to clean last message queue\n");
        msgctl(id, IPC_RMID, nullptr);
    }
    return id;
}

int msgque_peer(char FLAG, const char *fname, bool create)
{
    key_t key = ftok(fname, FLAG);
    if (key < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "create key failed with: %d, errno: %d\n", key, errno);
        return -1;
    }
    // No mode is asked of a queue that exists: the send itself is checked
    // against the queue's permissions.
    int id = msgget(key, 0);
    if (id < 0 && errno == ENOENT && create)
        id = msgget(key, IPC_CREAT | queue_mode);
    if (id < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "get message queue id failed with: %d, errno: %d\n", id, errno);
        return -2;
    }
    return id;
}

bool msg_post(std::string_view text, int msgflg, bool create_peer)
{
    int msgid = msgque_peer(ipc_peer_queue.flag, ipc_peer_queue.fname, create_peer);
    return msgid >= 0 && msg_post_to(msgid, text, msgflg);
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
    // Bytes past a short message would otherwise be left from the last one.
    memset(msg->mcontext, 0, sizeof(msg->mcontext));
    ssize_t n = msgrcv(msgid, msg, msg_text_size, msg_type, MSG_NOERROR);
    if (n < 0)
        return -1;
    // A sender that is not one of ours may leave out the NUL.
    size_t len = strnlen(msg->mcontext, std::min(static_cast<size_t>(n), msg_text_max));
    memcpy(text, msg->mcontext, len);
    text[len] = '\0';
    return static_cast<ssize_t>(len);
}

void server_init()
{
    quit = false;
    pthread_t thread;
    if (!server_thread_create(&thread) || !ipc_server_waits)
        return;
    int ret = pthread_join(thread, nullptr);
    if (ret != 0)
        vskprint(LOG_LEVEL_WARN, __func__, "wait for the thread to fail with errno: %d\n", ret);
}

void server_quit()
{
    quit = true;
}
