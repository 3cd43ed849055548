// The assistant's side of the channel: requests to the service, and the
// receiver that hands each reply to the registered callback.
#pragma once

#include <atomic>
#include <cstdint>

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
