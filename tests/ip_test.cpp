// The board's address: the choice of interface on lists made here, and
// ip_get on the interfaces of a network namespace of the test's own.
#include <arpa/inet.h>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "ip.h"
#include "support.h"

namespace {

// An interface list as getifaddrs gives it, made from names and addresses:
// "v6" stands for an IPv6 address, "" for an entry without one.
struct fake_interfaces {
    std::vector<ifaddrs> entries;
    std::vector<sockaddr_in> v4;
    sockaddr_in6 v6{};

    fake_interfaces(std::initializer_list<std::pair<const char *, const char *>> list)
    {
        entries.resize(list.size());
        v4.resize(list.size());
        size_t i = 0;
        for (auto [name, addr] : list) {
            ifaddrs &e = entries[i];
            e = {};
            e.ifa_name = const_cast<char *>(name);
            if (std::string_view(addr) == "v6") {
                v6.sin6_family = AF_INET6;
                e.ifa_addr = reinterpret_cast<sockaddr *>(&v6);
            } else if (*addr) {
                v4[i].sin_family = AF_INET;
                inet_pton(AF_INET, addr, &v4[i].sin_addr);
                e.ifa_addr = reinterpret_cast<sockaddr *>(&v4[i]);
            }
            e.ifa_next = i + 1 < list.size() ? &entries[i + 1] : nullptr;
            i++;
        }
    }
    const ifaddrs *head() const { return entries.empty() ? nullptr : &entries[0]; }
};

// The values are s_addr read as a number on a little-endian host, as the
// log line shows them: 192.168.1.10 is 167880896, 127.0.0.1 is 16777343.
TEST(IpChoice, FirstIpv4EntryOfEth0OrWlan0InListOrder)
{
    static_assert(std::endian::native == std::endian::little, "the values below are little-endian");
    const struct {
        fake_interfaces list;
        uint64_t address;
        const char *log;
    } cases[] = {
        {{{"lo", "127.0.0.1"}, {"eth0", "192.168.1.10"}, {"wlan0", "10.0.0.2"}}, 167880896,
         "get ip with eth0 167880896\n"},
        {{{"lo", "127.0.0.1"}, {"wlan0", "10.0.0.2"}, {"eth0", "192.168.1.10"}}, 33554442,
         "get ip with wlan0 33554442\n"},
        {{{"eth1", "10.0.0.3"}, {"wlan1", "10.0.0.4"}, {"eth0.5", "10.0.5.1"}}, 17104906,
         "get ip with eth0.5 17104906\n"},
        {{{"wlan0:1", "192.168.9.9"}}, 151627968, "get ip with wlan0:1 151627968\n"},
        {{{"eth0", "v6"}, {"eth0", ""}, {"wlan0", "192.168.1.10"}}, 167880896, "get ip with wlan0 167880896\n"},
        {{{"lo", "127.0.0.1"}}, 16777343, ""},
        {{{"lo", "127.0.0.1"}, {"eth1", "10.0.0.3"}, {"wlan1", "10.0.0.4"}, {"eth", "10.0.0.5"}}, 16777343, ""},
        {{}, 16777343, ""},
    };
    for (const auto &c : cases) {
        uint64_t address = 0;
        std::string err = test::capture_stderr([&] { address = ip_address_of(c.list.head()); });
        EXPECT_EQ(address, c.address) << c.log;
        EXPECT_EQ(err, c.log);
    }
    EXPECT_EQ(ip_loopback, 16777343u);
}

// Runs fn in a child of its own network namespace; what fn returns comes
// back as the child's text. Empty when the machine gives no namespace.
std::string in_network_namespace(const std::function<std::string()> &fn)
{
    int out[2];
    if (pipe(out) != 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        close(out[0]);
        std::string text = unshare(CLONE_NEWNET) == 0 ? fn() : "";
        (void)!write(out[1], text.data(), text.size());
        _exit(0);
    }
    close(out[1]);
    std::string text;
    char buf[512];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return text;
}

std::string address_and_log()
{
    uint64_t address = 0;
    std::string err = test::capture_stderr([&] { address = ip_get(); });
    return std::to_string(address) + " " + err;
}

bool sh(const std::string &command)
{
    return test::run({"/bin/sh", "-c", command}).status == 0;
}

TEST(IpGet, InterfacesOfTheMachine)
{
    // Only the loopback interface: 127.0.0.1, and nothing logged.
    std::string loopback = in_network_namespace([] {
        if (!sh("ip link set lo up"))
            return std::string("no ip command");
        return address_and_log();
    });
    if (loopback.empty())
        GTEST_SKIP() << "no network namespace of our own here";
    EXPECT_EQ(loopback, "16777343 ");

    // A wired interface beside one that does not count.
    std::string wired = in_network_namespace([] {
        if (!sh("ip link set lo up && ip link add eth0 type veth peer name wlan1 && "
                "ip addr add 10.0.0.4/24 dev wlan1 && ip addr add 192.168.1.10/24 dev eth0"))
            return std::string("no veth interfaces");
        return address_and_log();
    });
    EXPECT_EQ(wired, "167880896 get ip with eth0 167880896\n");

    // A wireless interface's alias.
    std::string alias = in_network_namespace([] {
        if (!sh("ip link add wlan0 type veth peer name eth1 && ip addr add 10.0.0.3/24 dev eth1 && "
                "ip addr add 192.168.9.9/24 dev wlan0 label wlan0:1"))
            return std::string("no veth interfaces");
        return address_and_log();
    });
    EXPECT_EQ(alias, "151627968 get ip with wlan0:1 151627968\n");
}

} // namespace
