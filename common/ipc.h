// The message-queue channel between the assistant and the service: each
// program receives on its own System V queue and sends into the peer's.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string_view>

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

// Provided by each program: its own queue, the peer's, whether server_init
// waits for the receiver, and how one received message is handled.
extern const ipc_endpoint ipc_own_queue;
extern const ipc_endpoint ipc_peer_queue;
extern const bool ipc_server_waits;
int msg_rcv(int msgid, vask::msgbuf *msg);
// Narrows who may use the receiver's own queue, once it is made.
void msg_queue_secure(int msgid);

// The group whose members may drive the service.
inline constexpr char ipc_group[] = "vask";

extern std::atomic<bool> quit;

int msgque_handle(char FLAG, const char *fname, bool clean);

// The peer's queue, made when missing if create is set.
int msgque_peer(char FLAG, const char *fname, bool create);

// Sends text (cut to 5 characters) to the peer's queue, looked up anew.
// msgflg is 0 or IPC_NOWAIT. Returns whether the message was queued.
bool msg_post(std::string_view text, int msgflg, bool create_peer);
// The same, into the queue msgid.
bool msg_post_to(int msgid, std::string_view text, int msgflg);

// Whether a request text asks for the feature bits: exactly one digit '0' to
// '8'. Only such a request is answered with them; every other gets "0".
constexpr bool is_feature_request(std::string_view text)
{
    return text.size() == 1 && text[0] >= '0' && text[0] <= '8';
}

// Receives one message of type 1 into msg, cutting an oversized one to the
// 16 text bytes. Returns the text (at most 5 characters), or -1 as with msgrcv.
ssize_t msg_receive(int msgid, vask::msgbuf *msg, char (&text)[msg_text_max + 1]);

void server_init();
void server_quit();
