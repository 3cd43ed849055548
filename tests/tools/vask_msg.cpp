// vask-msg: sends requests to a running ostrivel over the request queue and
// prints each reply, speaking the wire format directly.
//   vask-msg TEXT...
// It opens the service's queue as it is, never making one: only the service
// makes it, with the rights that say who may send. Replies come on the
// assistant's reply queue, made here as the assistant makes it when missing.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>

#include "paths.h"
#include "wire.h"

namespace {

int fail(const char *why)
{
    fprintf(stderr, "vask-msg: %s\n", why);
    return 1;
}

int existing_or_own(key_t key)
{
    int id = msgget(key, 0);
    if (id < 0 && errno == ENOENT)
        id = msgget(key, IPC_CREAT | IPC_EXCL | 0600);
    return id;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: vask-msg TEXT...\n");
        return 2;
    }
    key_t request_key = ftok(paths::ostrivel_ipc_key, 'c');
    key_t reply_key = ftok(paths::quillmar_ipc_key, 'z');
    if (request_key < 0 || reply_key < 0)
        return fail("the queues' key files are missing");
    // Asked for with the right to send: who may not send hears so first, before
    // a reply queue someone else made stands in the way.
    int requests = msgget(request_key, 0200);
    if (requests < 0 && errno == EACCES)
        return fail("you may not send requests to ostrivel (root and the members of group vask may)");
    if (requests < 0)
        return fail(errno == ENOENT ? "ostrivel is not running: its request queue does not exist"
                                    : "cannot open the request queue");
    int replies = existing_or_own(reply_key);
    struct msqid_ds ds;
    if (replies < 0 || msgctl(replies, IPC_STAT, &ds) != 0)
        return fail(errno == EACCES ? "the reply queue is another user's: run vask-msg as that user"
                                    : "cannot open the reply queue");
    test::wire::drain(replies);
    for (int i = 1; i < argc; i++) {
        if (!test::wire::send(requests, argv[i])) {
            if (errno == EACCES)
                return fail("you may not send requests to ostrivel (root and the members of group vask may)");
            fprintf(stderr, "vask-msg: cannot send \"%s\": %s\n", argv[i], strerror(errno));
            return 1;
        }
        auto reply = test::wire::receive(replies, std::chrono::seconds(5));
        if (!reply) {
            fprintf(stderr, "vask-msg: no reply to \"%s\"\n", argv[i]);
            return 1;
        }
        printf("%s -> %s\n", argv[i], reply->c_str());
    }
    return 0;
}
