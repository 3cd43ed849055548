// Readiness for the service manager (Type=notify): the documented datagram
// "READY=1" to the AF_UNIX socket that $NOTIFY_SOCKET names, a path or an
// abstract "@" name. Spoken directly, so that the service needs no library
// beyond libc and libstdc++.
#include "notify.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>

#include "log.h"
#include "unique_fd.h"

namespace {

constexpr char notify_variable[] = "NOTIFY_SOCKET";
constexpr std::string_view ready_text = "READY=1";

// Written once by notify_socket_take, before the receiver thread exists.
struct sockaddr_un notify_address = {};
socklen_t notify_address_len = 0;
std::atomic<bool> told{false};

// The address the variable names, or false for anything else: an empty or
// relative name, a name too long for sun_path, other socket families.
bool address_parse(std::string_view name, struct sockaddr_un *addr, socklen_t *len)
{
    if (name.empty() || (name[0] != '/' && name[0] != '@') || name.size() >= sizeof(addr->sun_path))
        return false;
    addr->sun_family = AF_UNIX;
    name.copy(addr->sun_path, name.size());
    if (name[0] == '@') {
        // An abstract name: a leading NUL, and its length says where it ends.
        addr->sun_path[0] = '\0';
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size());
    } else {
        addr->sun_path[name.size()] = '\0';
        *len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size() + 1);
    }
    return true;
}

} // namespace

void notify_socket_take()
{
    const char *value = getenv(notify_variable);
    if (!value)
        return;
    if (!address_parse(value, &notify_address, &notify_address_len)) {
        notify_address_len = 0;
        vskprint(LOG_LEVEL_WARN, __func__, "%s names no socket this service can use, readiness is not told\n",
                 notify_variable);
    }
    // Whatever it starts is not the service the manager waits for.
    unsetenv(notify_variable);
}

void notify_ready()
{
    if (notify_address_len == 0 || told.exchange(true))
        return;
    unique_fd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd.ok() || sendto(fd.get(), ready_text.data(), ready_text.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const struct sockaddr *>(&notify_address), notify_address_len) < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "failed to tell the service manager it is ready, errno: %d\n", errno);
        return;
    }
    vskprint(LOG_LEVEL_INFO, __func__, "request queue made, the service manager is told it is ready\n");
}
