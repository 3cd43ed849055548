// The service's request handler: classifies each request from the
// assistant's queue, carries it out and answers with the feature bits.
#include "ipc.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <string_view>
#include <sys/msg.h>
#include <unistd.h>
#include <vector>

#include "../common/ipc.h"
#include "log.h"
#include "notify.h"
#include "ostrivel.h"
#include "paths.h"

const ipc_endpoint ipc_own_queue = {.flag = 'c', .fname = paths::ostrivel_ipc_key};
const ipc_endpoint ipc_peer_queue = {.flag = 'z', .fname = paths::quillmar_ipc_key};
// The main thread takes the stop signals while the receiver serves.
const bool ipc_server_waits = false;

namespace {

enum class request_class { feature, digit_command, letter_command, other };

request_class classify(std::string_view text)
{
    if (is_feature_request(text))
        return request_class::feature;
    if (!text.empty() && is_digit(text[0]))
        return request_class::digit_command;
    if (!text.empty() && single_leading(text, is_command_letter))
        return request_class::letter_command;
    return request_class::other;
}

// Whether the user uid is, by the user database, a member of the group gid.
bool group_member(uid_t uid, gid_t gid)
{
    std::string name;
    gid_t primary = 0;
    if (!ipc_user_lookup(uid, &name, &primary))
        return false;
    if (primary == gid)
        return true;
    std::vector<gid_t> groups(16);
    int n = static_cast<int>(groups.size());
    while (getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) {
        if (static_cast<size_t>(n) <= groups.size())
            return false;
        groups.resize(static_cast<size_t>(n));
    }
    return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// Anyone may make the queue under the assistant's key before the assistant
// does, and read or withhold what is sent there. So answers go only into a
// queue made and owned by root or a member of the group, that no one else may
// read. A system without the group serves everyone, and answers everyone.
bool reply_queue_trusted(int msgid)
{
    static int refused = -1;
    struct msqid_ds ds;
    if (msgctl(msgid, IPC_STAT, &ds) != 0)
        return false;
    gid_t gid = no_group;
    const group_lookup found = ipc_group_lookup(ipc_group, &gid);
    if (found == group_lookup::missing)
        return true;
    const struct ipc_perm &perm = ds.msg_perm;
    const bool members = found == group_lookup::found;
    // A group that cannot be looked up leaves root alone trusted.
    auto ours = [&](uid_t uid) { return uid == 0 || (members && group_member(uid, gid)); };
    // The kernel lets the creator's group read as well as the owner's.
    const bool trusted = ours(perm.cuid) && ours(perm.uid) && !(perm.mode & 0004) &&
                         (!(perm.mode & 0040) || (members && perm.gid == gid && perm.cgid == gid));
    if (!trusted && msgid != refused)
        vskprint(LOG_LEVEL_ERROR, __func__,
                 "no answer into reply queue %d: its owner uid %u (creator uid %u) is not root or a member of %s, or "
                 "others may read it (mode %03o)\n",
                 msgid, static_cast<unsigned>(perm.uid), static_cast<unsigned>(perm.cuid), ipc_group,
                 static_cast<unsigned>(perm.mode & 0777));
    if (!trusted)
        refused = msgid;
    return trusted;
}

} // namespace

void msg_send(const char *data)
{
    // Never wait on a full reply queue: an assistant that does not read its
    // replies must not stop the service from serving everyone else.
    // The reply queue is the assistant's to make: one made here would be
    // root's, and the assistant could neither remove nor narrow it.
    const int msgid = msgque_peer(ipc_peer_queue.flag, ipc_peer_queue.fname, false);
    if (msgid < 0 || !reply_queue_trusted(msgid) || !msg_post_to(msgid, data, IPC_NOWAIT)) {
        vskprint(LOG_LEVEL_WARN, __func__, "message failed To send\n");
        return;
    }
    vskprint(LOG_LEVEL_WARN, __func__, "message send with %s\n", data);
}

// Requests come only from root and the members of the service's group: the
// service acts with root's rights on whatever it is asked. A group that cannot
// be looked up leaves the queue to root alone; only a system without the group
// keeps the queue open to all, as before the group existed.
void msg_queue_secure(queue_rights *rights)
{
    enum class seen { none, found, missing, failed };
    static seen last = seen::none;
    rights->cuid = geteuid();
    rights->uid = geteuid();
    gid_t gid = no_group;
    switch (ipc_group_lookup(ipc_group, &gid)) {
    case group_lookup::found:
        rights->gid = gid;
        rights->mode = 0660;
        last = seen::found;
        return;
    case group_lookup::missing:
        rights->gid = getegid();
        rights->mode = 0777;
        if (last != seen::missing)
            vskprint(LOG_LEVEL_WARN, __func__, "group %s does not exist, every user may send requests\n", ipc_group);
        last = seen::missing;
        return;
    case group_lookup::failed:
        int err = errno;
        rights->gid = getegid();
        rights->mode = 0600;
        if (last != seen::failed)
            vskprint(LOG_LEVEL_ERROR, __func__, "failed to look up group %s, errno: %d, only root may send requests\n",
                     ipc_group, err);
        last = seen::failed;
        return;
    }
}

// Requests sent from now on are served: the service manager may count the
// service as started.
void msg_queue_made(int)
{
    notify_ready();
}

// Root removes a queue of another user under its key; without the right to,
// it says so as it tries again.
void msg_queue_held(int) {}

int8_t request_handle(char (&text)[msg_text_max + 1])
{
    int8_t status = 0;
    switch (classify(text)) {
    case request_class::feature:
        status = ostrivel_parse_cmd(false, text, nullptr);
        break;
    case request_class::digit_command:
        text[1] = '\0';
        status = ostrivel_parse_cmd(true, "mp", text);
        break;
    case request_class::letter_command:
        status = ostrivel_parse_cmd(true, "mp", text);
        break;
    case request_class::other:
        break;
    }
    return status;
}

int msg_rcv(int msgid, vask::msgbuf *msg)
{
    char text[msg_text_max + 1];
    if (msg_receive(msgid, msg, text) < 0)
        return -1;

    // The text comes from any process that may write to the queue.
    char shown[log_escaped_size(msg_text_max)];
    log_escape(text, shown, sizeof(shown));
    vskprint(LOG_LEVEL_INFO, __func__, "received message %s\n", shown);
    int8_t status = request_handle(text);

    char data[6];
    snprintf(data, sizeof(data), "%d", status);
    msg_send(data);
    // The reply tells a SysRq command that failed; to the receiver loop a
    // negative result would mean that the receive failed.
    return std::max<int>(status, 0);
}
