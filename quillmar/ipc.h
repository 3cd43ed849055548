// The assistant's side of the channel: requests to the service, and the
// receiver that hands each reply to the registered callback.
#pragma once

#include <atomic>
#include <cstdint>

using gui_update_fn = void (*)(int8_t status);

// Registered on the GUI thread, called on the receiver thread.
struct notifier_from_other {
    std::atomic<gui_update_fn> call_gui_2update{nullptr};
};

extern notifier_from_other nfo;

inline constexpr int notifier_gui_update = 1;

int8_t msg_send(const char *cmd);
void notifier_register(int type, gui_update_fn tmp);
