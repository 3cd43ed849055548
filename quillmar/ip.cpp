// Finds the board's IPv4 address on its wired or wireless interface.
#include "ip.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>

#include "log.h"

const ifaddrs *ip_choose(const ifaddrs *list)
{
    for (const ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET || !ifa->ifa_name)
            continue;
        if (strncmp(ifa->ifa_name, "wlan0", 5) == 0 || strncmp(ifa->ifa_name, "eth0", 4) == 0)
            return ifa;
    }
    return nullptr;
}

uint64_t ip_address_of(const ifaddrs *list)
{
    const ifaddrs *ifa = ip_choose(list);
    if (!ifa)
        return ip_loopback;
    in_addr_t s_addr = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr)->sin_addr.s_addr;
    vskprint(LOG_LEVEL_INFO, "ip_get", "get ip with %s %lld\n", ifa->ifa_name, static_cast<long long>(s_addr));
    return s_addr;
}

uint64_t ip_get()
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) < 0) {
        vskprint(LOG_LEVEL_WARN, __func__, "failed to get ip with errno: %d\n", errno);
        return ip_loopback;
    }
    const uint64_t address = ip_address_of(list);
    freeifaddrs(list);
    return address;
}
