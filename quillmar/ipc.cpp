// The assistant's end of the message-queue channel.
#include "quillmar/ipc.h"

#include <cerrno>
#include <cstdio>
#include <sys/msg.h>
#include <unistd.h>

#include "common/ipc.h"
#include "log.h"
#include "paths.h"

const ipc_endpoint ipc_own_queue = {.flag = 'z', .fname = paths::quillmar_ipc_key};
const ipc_endpoint ipc_peer_queue = {.flag = 'c', .fname = paths::ostrivel_ipc_key};
const bool ipc_server_waits = false;

notifier_from_other nfo;

int8_t msg_send(const char *cmd)
{
    // Sends come from the GUI thread: a full queue (service not running) is a
    // failed send, never a frozen window.
    if (!msg_post(cmd, IPC_NOWAIT, true)) {
        vskprint(LOG_LEVEL_WARN, __func__, "message failed to send\n");
        return -1;
    }
    return 0;
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

void notifier_register(int type, gui_update_fn tmp)
{
    if (type != notifier_gui_update)
        return;
    nfo.call_gui_2update = tmp;
}

int msg_rcv(int msgid, vask::msgbuf *msg)
{
    char text[msg_text_max + 1];
    if (msg_receive(msgid, msg, text) < 0)
        return -1;
    signed char status = 0;
    sscanf(text, "%hhd", &status);
    vskprint(LOG_LEVEL_INFO, __func__, "message receive with %d\n", status);
    if (gui_update_fn callback = nfo.call_gui_2update.load())
        callback(status);
    return 0;
}
