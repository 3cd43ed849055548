// The board's IPv4 address, as shown on the address button.
#pragma once

#include <cstdint>

struct ifaddrs;

// 127.0.0.1 as stored in s_addr (network byte order).
inline constexpr uint64_t ip_loopback = 0x0100007F;

// The first IPv4 entry of the list on an eth0 or wlan0 interface (aliases
// and VLANs such as eth0.5 and wlan0:1 included), or nullptr.
const ifaddrs *ip_choose(const ifaddrs *list);

// The address of ip_choose's entry as stored in s_addr, logged with its
// interface, or 127.0.0.1 when no entry is chosen.
uint64_t ip_address_of(const ifaddrs *list);

// The chosen address of the machine's interfaces, or 127.0.0.1.
uint64_t ip_get();
