// The queue wire format spoken directly: message type 1, 16 text bytes.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace test {

// How long a caller waits for something that should happen at once before it
// gives up; a guard against hanging, not a measure of speed.
inline constexpr std::chrono::seconds patience{20};

std::string read_file(const std::string &path);
// Waits until pred holds.
bool eventually(const std::function<bool()> &pred);

// Waits until a thread of pid sleeps in msgrcv: its receiver is serving, and
// has finished with every message taken before this call.
bool wait_until_receiving(pid_t pid);

namespace wire {

// The request queue ('c') and the reply queue ('z'), made if missing.
int request_queue();
int reply_queue();
// Who made and owns the queue, its mode and how many messages it holds.
std::string describe(int msgid);
void drain(int msgid);
// Sends raw text bytes with the given text size (16 for well-formed ones).
bool send(int msgid, std::string_view text, size_t size = 16);
// Waits for one message; nullopt when none came.
std::optional<std::string> receive(int msgid, std::chrono::milliseconds wait = patience);
// The whole text part of the next message, as many bytes as were sent.
std::optional<std::string> receive_raw(int msgid, std::chrono::milliseconds wait = patience);

} // namespace wire

} // namespace test
