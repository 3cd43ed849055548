// The assistant's side of the channel: requests to the service, and the
// receiver that hands each reply to the registered callback.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <sys/types.h>

using gui_update_fn = void (*)(int8_t status);
// Given the text of the SysRq request the service could not carry out.
using sysrq_failed_fn = void (*)(const char *cmd);

// Registered on the GUI thread, called on the receiver thread.
struct notifier_from_other {
    std::atomic<gui_update_fn> call_gui_2update{nullptr};
    std::atomic<sysrq_failed_fn> call_gui_2fail{nullptr};
};

extern notifier_from_other nfo;

inline constexpr int notifier_gui_update = 1;
inline constexpr int notifier_sysrq_failed = 2;

int8_t msg_send(const char *cmd);
// A callback of the wrong kind for the type is ignored, as is any other type.
void notifier_register(int type, gui_update_fn tmp);
void notifier_register(int type, sysrq_failed_fn tmp);

// Why requests do not reach the service, or its answers this window.
enum class ipc_trouble {
    none,
    failed,           // no cause known
    not_installed,    // no key file: the service's package is missing
    not_member,       // the request queue refuses this user: not in vask
    not_running,      // requests wait in the service's queue, untaken
    reply_queue_held, // another user made the queue under the reply key
};

struct ipc_trouble_info {
    ipc_trouble cause = ipc_trouble::none;
    int queue = -1;                        // reply_queue_held: the queue
    uid_t holder = static_cast<uid_t>(-1); // and its creator, when known
};

// The trouble to tell the user, if any: the cause of the last failed send, or
// else requests left untaken in the service's queue for longer than patience.
// Each cause (and held queue) is told once, until a reply comes, or, for the
// causes a send meets, until a send goes through.
bool msg_trouble(std::chrono::milliseconds patience, ipc_trouble_info *info);
