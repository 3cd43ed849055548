// The assistant's end of the message-queue channel.
#include "quillmar/ipc.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <sys/msg.h>
#include <unistd.h>
#include <utility>

#include "common/ipc.h"
#include "log.h"
#include "paths.h"

const ipc_endpoint ipc_own_queue = {.flag = 'z', .fname = paths::quillmar_ipc_key};
const ipc_endpoint ipc_peer_queue = {.flag = 'c', .fname = paths::ostrivel_ipc_key};
const bool ipc_server_waits = false;

notifier_from_other nfo;

namespace {

// The service answers every request once, in the order it took them, into
// the reply queue. So the replies to come answer the requests sent, in order:
// a feature request's reply carries the feature bits, a SysRq command's says
// whether the kernel took it.
struct pending_request {
    bool feature;
    std::chrono::steady_clock::time_point sent;
    int request_queue; // the service's queue it went into
    char text[msg_text_max + 1]{}; // as sent; empty for an earlier run's
};

struct pending_list {
    std::mutex mutex;
    std::condition_variable receiver_ready;
    std::deque<pending_request> requests; // sent, reply not yet taken
    // The first `settled` requests are known to have their replies waiting
    // in the reply queue.
    size_t settled = 0;
    int reply_queue = -1; // the receiver's queue, once it receives
    bool no_receiver = false;
    // What the receiver last found under the reply key, if not its queue:
    // another user's queue, which only that user (or root) may remove.
    int held = -1;
    uid_t holder = static_cast<uid_t>(-1);
    unsigned reports = 0; // counts the receiver's tries
    ipc_trouble_info trouble; // of the last failed send
    ipc_trouble_info told;    // the cause last told, and its queue
};

pending_list pending;

// The receiver makes its queue anew as it starts; a request sent before then
// could have its reply removed with the old queue.
constexpr auto receiver_start_wait = std::chrono::seconds(1);

size_t messages_waiting(int msgid)
{
    struct msqid_ds ds;
    return msgid >= 0 && msgctl(msgid, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
}

// Whether the receiver has its queue, so that replies can come. One that is
// starting is given a second. One that found the key held by another user is
// woken to try again at once: the queue may have been freed since.
bool wait_for_receiver(std::unique_lock<std::mutex> &lock)
{
    if (pending.reply_queue >= 0 || pending.no_receiver)
        return true;
    const unsigned reports = pending.reports;
    if (pending.held >= 0)
        ipc_receiver_wake();
    if (!pending.receiver_ready.wait_for(lock, receiver_start_wait, [&] { return pending.reports != reports; }) &&
        reports == 0) {
        vskprint(LOG_LEVEL_INFO, __func__, "no receiver for replies\n");
        pending.no_receiver = true;
        return true;
    }
    return pending.reply_queue >= 0;
}

// The creator of the queue msgid, which this user may have no right to read:
// found in the kernel's list of all queues, as ipcs finds it. Not its owner:
// the creator may hand the queue to any uid, and keeps the right to it.
uid_t queue_creator(int msgid)
{
    std::unique_ptr<FILE, int (*)(FILE *)> list(fopen("/proc/sysvipc/msg", "re"), fclose);
    char line[256];
    // The first line names the columns.
    if (!list || !fgets(line, sizeof(line), list.get()))
        return static_cast<uid_t>(-1);
    while (fgets(line, sizeof(line), list.get())) {
        // key msqid perms cbytes qnum lspid lrpid uid gid cuid ...
        int key = 0, id = 0;
        unsigned mode = 0, lspid = 0, lrpid = 0, uid = 0, gid = 0, cuid = 0;
        unsigned long cbytes = 0, qnum = 0;
        if (sscanf(line, "%d %d %o %lu %lu %u %u %u %u %u", &key, &id, &mode, &cbytes, &qnum, &lspid, &lrpid, &uid,
                   &gid, &cuid) == 10 &&
            id == msgid)
            return static_cast<uid_t>(cuid);
    }
    return static_cast<uid_t>(-1);
}

// Why a send failed, from the errno of the call that failed: the key (-1),
// the queue (-2), or the send itself.
ipc_trouble send_trouble(int msgid, int err)
{
    if (msgid == -1)
        return err == ENOENT ? ipc_trouble::not_installed : ipc_trouble::failed;
    if (err == EACCES)
        return ipc_trouble::not_member;
    // Full: the service takes nothing out.
    if (msgid >= 0 && err == EAGAIN)
        return ipc_trouble::not_running;
    return ipc_trouble::failed;
}

// Whether the oldest request still waiting for its reply has waited longer
// than patience, with the service's queue it went into holding requests yet.
bool requests_untaken(std::chrono::milliseconds patience)
{
    if (pending.requests.size() <= pending.settled)
        return false;
    const pending_request &oldest = pending.requests[pending.settled];
    return std::chrono::steady_clock::now() - oldest.sent > patience && messages_waiting(oldest.request_queue) > 0;
}

// Before a request goes into the service's queue request_queue.
void reconcile(int request_queue)
{
    auto &requests = pending.requests;
    if (!requests.empty() && requests.back().request_queue != request_queue) {
        // The service started anew since the last request: its queue was
        // removed with what waited in it and made again. The old service
        // answered the first of our requests in order and then ended, so
        // every reply it sent is in the reply queue by now (the receiver
        // takes a reply out only under the lock held here). Those requests
        // keep their replies; the rest are lost.
        const size_t waiting = messages_waiting(pending.reply_queue);
        const size_t unsettled = requests.size() - pending.settled;
        const size_t answered = std::min(waiting > pending.settled ? waiting - pending.settled : 0, unsettled);
        if (answered < unsettled)
            vskprint(LOG_LEVEL_INFO, __func__, "service started anew, %zu requests will not be answered\n",
                     unsettled - answered);
        requests.erase(requests.begin() + static_cast<ptrdiff_t>(pending.settled + answered), requests.end());
        pending.settled = requests.size();
    }
    if (requests.size() == pending.settled) {
        // None of ours waits for the service: what does was sent by an
        // earlier run, and is answered before this request.
        for (size_t n = messages_waiting(request_queue); n > 0; n--)
            requests.push_back(
                {.feature = false, .sent = std::chrono::steady_clock::now(), .request_queue = request_queue});
    }
}

} // namespace

int8_t msg_send(const char *cmd)
{
    const std::string_view text = std::string_view(cmd).substr(0, msg_text_max);
    std::unique_lock lock(pending.mutex);
    const int msgid = msgque_peer(ipc_peer_queue.flag, ipc_peer_queue.fname, true);
    // A request whose reply cannot come is not sent: the service would act
    // on it, and the window would never show what it did.
    if (msgid >= 0 && !wait_for_receiver(lock)) {
        pending.trouble = {.cause = ipc_trouble::reply_queue_held, .queue = pending.held, .holder = pending.holder};
        vskprint(LOG_LEVEL_WARN, __func__, "message failed to send\n");
        return -1;
    }
    if (msgid >= 0)
        reconcile(msgid);
    // Sends come from the GUI thread: a full queue (service not running) is a
    // failed send, never a frozen window.
    if (msgid < 0 || !msg_post_to(msgid, text, IPC_NOWAIT)) {
        pending.trouble = {.cause = send_trouble(msgid, errno)};
        vskprint(LOG_LEVEL_WARN, __func__, "message failed to send\n");
        return -1;
    }
    if (pending.told.cause != ipc_trouble::not_running)
        pending.told = {};
    // Recorded before the lock is let go: the receiver cannot take the reply
    // before it knows what it answers. With no receiver no reply is ever
    // taken, and the list would only grow.
    if (pending.reply_queue >= 0) {
        pending_request &sent = pending.requests.emplace_back(pending_request{
            .feature = is_feature_request(text), .sent = std::chrono::steady_clock::now(), .request_queue = msgid});
        text.copy(sent.text, text.size());
    }
    return 0;
}

bool msg_trouble(std::chrono::milliseconds patience, ipc_trouble_info *info)
{
    std::lock_guard lock(pending.mutex);
    ipc_trouble_info found = std::exchange(pending.trouble, {});
    if (found.cause == ipc_trouble::none && requests_untaken(patience))
        found.cause = ipc_trouble::not_running;
    if (found.cause == ipc_trouble::none ||
        (found.cause == pending.told.cause && found.queue == pending.told.queue))
        return false;
    pending.told = found;
    *info = found;
    return true;
}

// Replies come only from root (the service) and from this user: the queue is
// this user's own, made by it, and no one else's to read or write.
void msg_queue_secure(queue_rights *rights)
{
    rights->cuid = geteuid();
    rights->uid = geteuid();
    rights->gid = no_group;
    rights->mode = 0600;
}

void msg_queue_made(int msgid)
{
    std::lock_guard lock(pending.mutex);
    pending.held = -1;
    pending.reports++;
    pending.receiver_ready.notify_all();
    if (pending.reply_queue == msgid)
        return;
    // Replies to what was sent before went to a queue that is gone.
    if (!pending.requests.empty())
        vskprint(LOG_LEVEL_INFO, __func__, "reply queue made anew, %zu requests will not be answered\n",
                 pending.requests.size());
    pending.requests.clear();
    pending.settled = 0;
    pending.reply_queue = msgid;
}

void msg_queue_held(int msgid)
{
    const uid_t owner = msgid >= 0 ? queue_creator(msgid) : static_cast<uid_t>(-1);
    std::lock_guard lock(pending.mutex);
    pending.reply_queue = -1;
    pending.held = msgid;
    pending.holder = owner;
    pending.reports++;
    pending.receiver_ready.notify_all();
}

void notifier_register(int type, gui_update_fn tmp)
{
    if (type != notifier_gui_update)
        return;
    nfo.call_gui_2update = tmp;
}

void notifier_register(int type, sysrq_failed_fn tmp)
{
    if (type != notifier_sysrq_failed)
        return;
    nfo.call_gui_2fail = tmp;
}

int msg_rcv(int msgid, vask::msgbuf *msg)
{
    // Wait for a reply without taking it (a text too long for no room): it
    // is taken under the lock, so a send that counts the replies waiting
    // counts this one as well.
    if (msgrcv(msgid, msg, 0, msg_type, 0) >= 0) {
        vskprint(LOG_LEVEL_INFO, __func__, "empty message dropped\n");
        return 0;
    }
    if (errno != E2BIG)
        return -1;

    std::unique_lock lock(pending.mutex);
    char text[msg_text_max + 1];
    if (msg_receive(msgid, msg, text) < 0)
        return -1;
    signed char status = 0;
    sscanf(text, "%hhd", &status);
    vskprint(LOG_LEVEL_INFO, __func__, "message receive with %d\n", status);
    pending.told = {};
    // A reply that comes with no send since a restart of the service is the
    // old service's answer to the oldest request: the new one has had none of
    // ours. Requests the restart lost are dropped by the next send.
    if (pending.requests.empty()) {
        vskprint(LOG_LEVEL_INFO, __func__, "reply %d answers no request of ours, dropped\n", status);
        return 0;
    }
    const pending_request answered = pending.requests.front();
    pending.requests.pop_front();
    if (pending.settled > 0)
        pending.settled--;
    lock.unlock();

    if (answered.feature) {
        if (gui_update_fn callback = nfo.call_gui_2update.load())
            callback(status);
        return 0;
    }
    // Every other request the assistant sends is a SysRq command, answered
    // "0" when the kernel took it and negative when not.
    if (status < 0 && answered.text[0] != '\0') {
        vskprint(LOG_LEVEL_WARN, __func__, "SysRq command %s failed in the service\n", answered.text);
        if (sysrq_failed_fn callback = nfo.call_gui_2fail.load())
            callback(answered.text);
        return 0;
    }
    vskprint(LOG_LEVEL_INFO, __func__, "reply %d answers a SysRq request, dropped\n", status);
    return 0;
}
