// The service's request handler: classifies each request from the
// assistant's queue, carries it out and answers with the feature bits.
#include "ipc.h"

#include <cerrno>
#include <cstdio>
#include <grp.h>
#include <string_view>
#include <sys/msg.h>

#include "../common/ipc.h"
#include "log.h"
#include "ostrivel.h"
#include "paths.h"

const ipc_endpoint ipc_own_queue = {.flag = 'c', .fname = paths::ostrivel_ipc_key};
const ipc_endpoint ipc_peer_queue = {.flag = 'z', .fname = paths::quillmar_ipc_key};
const bool ipc_server_waits = true;

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

} // namespace

void msg_send(const char *data)
{
    // Never wait on a full reply queue: an assistant that does not read its
    // replies must not stop the service from serving everyone else.
    // The reply queue is the assistant's to make: one made here would be
    // root's, and the assistant could neither remove nor narrow it.
    if (!msg_post(data, IPC_NOWAIT, false)) {
        vskprint(LOG_LEVEL_WARN, __func__, "message failed To send\n");
        return;
    }
    vskprint(LOG_LEVEL_WARN, __func__, "message send with %s\n", data);
}

// Requests come only from root and the members of the service's group: the
// service acts with root's rights on whatever it is asked.
void msg_queue_secure(int msgid)
{
    struct group grp, *found = nullptr;
    char buf[4096];
    if (getgrnam_r(ipc_group, &grp, buf, sizeof(buf), &found) != 0 || !found) {
        static bool warned = false;
        if (!warned)
            vskprint(LOG_LEVEL_WARN, __func__, "group %s does not exist, every user may send requests\n", ipc_group);
        warned = true;
        return;
    }
    struct msqid_ds ds;
    if (msgctl(msgid, IPC_STAT, &ds) == 0) {
        ds.msg_perm.uid = 0;
        ds.msg_perm.gid = found->gr_gid;
        ds.msg_perm.mode = 0660;
        if (msgctl(msgid, IPC_SET, &ds) == 0)
            return;
    }
    vskprint(LOG_LEVEL_WARN, __func__, "failed to restrict the request queue, errno: %d\n", errno);
}

int msg_rcv(int msgid, vask::msgbuf *msg)
{
    char text[msg_text_max + 1];
    if (msg_receive(msgid, msg, text) < 0)
        return -1;

    int8_t status = 0;
    vskprint(LOG_LEVEL_INFO, __func__, "received message %s\n", text);
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

    char data[6];
    snprintf(data, sizeof(data), "%d", status);
    msg_send(data);
    return status;
}
