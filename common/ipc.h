// The message-queue channel between the assistant and the service: each
// program receives on its own System V queue and sends into the peer's.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace vask {

// One message on either queue. Named apart from glibc's own struct msgbuf.
struct msgbuf {
    long mtype;
    char mcontext[16]; // NUL-terminated text of at most 5 characters, rest zero
};

} // namespace vask

inline constexpr long msg_type = 1;
inline constexpr size_t msg_text_size = sizeof(vask::msgbuf::mcontext);
inline constexpr size_t msg_text_max = 5;

// A queue is named by the file its key is made from and a project id.
struct ipc_endpoint {
    char flag;
    const char *fname;
};

// The rights a receiver's own queue must have from the moment it exists:
// made by cuid, owned by uid and gid (no_group: whatever the creator's is),
// with permission bits mode.
struct queue_rights {
    uid_t cuid;
    uid_t uid;
    gid_t gid;
    mode_t mode;
};
inline constexpr gid_t no_group = static_cast<gid_t>(-1);

// Provided by each program: its own queue, the peer's, whether server_init
// waits for the receiver, how one received message is handled, and what the
// program does once its queue is made.
extern const ipc_endpoint ipc_own_queue;
extern const ipc_endpoint ipc_peer_queue;
extern const bool ipc_server_waits;
int msg_rcv(int msgid, vask::msgbuf *msg);
// The rights of the receiver's own queue, asked each time it is made.
void msg_queue_secure(queue_rights *rights);
// Told by the receiver each time it has its own queue anew: at its start,
// once any earlier queue under the key is gone, and after a loss.
void msg_queue_made(int msgid);
// Told by the receiver each time another user's queue msgid under its key
// keeps it from making its own: one it may not remove, or one made again at
// each removal. It tries again later.
void msg_queue_held(int msgid);

// The group whose members may drive the service.
inline constexpr char ipc_group[] = "vask";

enum class group_lookup { found, missing, failed };
// Looks a group up by name, growing the buffer as far as the entry needs.
// failed (with errno set) is any failure but "no such group".
group_lookup ipc_group_lookup(const char *name, gid_t *gid);
// Looks a user up by uid: its login name and primary group. False when the
// user database has no such user or cannot be read.
bool ipc_user_lookup(uid_t uid, std::string *name, gid_t *gid);

extern std::atomic<bool> quit;

// The receiver's own queue, with the rights msg_queue_secure asks for. It is
// only ever made by this process, exclusively and with its final rights;
// clean (at start) removes whatever queue the key names first, otherwise a
// queue with other rights or another creator is removed and made anew.
// Returns the id, -1 when the key cannot be made, -2 when no queue is had.
int msgque_handle(char FLAG, const char *fname, bool clean);

// The peer's queue, made when missing if create is set.
int msgque_peer(char FLAG, const char *fname, bool create);

// Sends text (cut to 5 characters) into the queue msgid. msgflg is 0 or
// IPC_NOWAIT. Returns whether the message was queued.
bool msg_post_to(int msgid, std::string_view text, int msgflg);

// Whether a request text asks for the feature bits: exactly one digit '0' to
// '8'. Only such a request is answered with them; every other gets "0".
constexpr bool is_feature_request(std::string_view text)
{
    return text.size() == 1 && text[0] >= '0' && text[0] <= '8';
}

// Receives one message of type 1 into msg, cutting an oversized one to the
// 16 text bytes; a message of any other type is taken off the queue and
// dropped. Returns the text (at most 5 characters), or -1 as with msgrcv.
// From a successful return until msg_rcv returns, the request is in
// progress: server_quit waits for it.
ssize_t msg_receive(int msgid, vask::msgbuf *msg, char (&text)[msg_text_max + 1]);

// How the receiver waits before it tries again after a failure: the waits
// grow from 0.1 s to at most 3.2 s while the failures last.
struct ipc_pause_operate {
    void (*pause_for)(std::chrono::milliseconds wait);
};
const ipc_pause_operate *ipc_pause_get();
// For tests that watch the waits: the receiver pauses through table from now
// on, or through its own again after nullptr. Returns the table it replaced.
// The programs never call it.
const ipc_pause_operate *ipc_pause_set(const ipc_pause_operate *table);
// Ends the receiver's wait before its next try, if it waits.
void ipc_receiver_wake();

// Starts the receiver thread; when the program waits for it, returns once it
// has ended. Returns whether the receiver was started.
bool server_init();
// Stops the receiver: a request in progress is given about a second to
// finish and send its reply, and no further one is started.
void server_quit();
