// Pin function of the RK3588 debug pins (SD card or JTAG & UART), read and
// switched through mappings of the GRF and IOC register blocks.
#include "rk3588.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

#include "log.h"
#include "paths.h"
#include "unique_fd.h"

namespace {

// Every line of the handler carries its entry's name, mapped or not.
constexpr char handler[] = "jtag_status_handle";

// The device tree's names of the SoCs whose physical addresses these are:
// the RK3588S is the same die in a smaller package, with the same GRF and IOC,
// and its boards name only it.
constexpr std::array<const char *, 2> rk3588_family = {"rockchip,rk3588", "rockchip,rk3588s"};

constexpr uint32_t soc_con6_set = 0x40004000;
constexpr uint32_t sd_card_bits = 0x5500;
constexpr uint32_t select_jtag_uart = 0xFFFF11AA;
constexpr uint32_t select_sd_card = 0xFFFF5500;

// A shared read-write mapping of part of a file, unmapped with the length it
// was mapped with.
class mapped_window {
public:
    mapped_window(const rk3588_io &io, int fd, uint64_t offset, size_t length)
        : io_(io), base_(io.map(fd, offset, length)), length_(length)
    {
    }
    mapped_window(const mapped_window &) = delete;
    mapped_window &operator=(const mapped_window &) = delete;
    ~mapped_window() { release(); }

    void release()
    {
        if (ok())
            io_.unmap(std::exchange(base_, MAP_FAILED), length_);
    }

    bool ok() const { return base_ != MAP_FAILED; }
    volatile uint8_t *at(uint64_t offset) const { return static_cast<volatile uint8_t *>(base_) + offset; }

private:
    const rk3588_io &io_;
    void *base_;
    size_t length_;
};

uint32_t raw_readl(const volatile void *addr)
{
    return *static_cast<const volatile uint32_t *>(addr);
}

void raw_writel(uint32_t b, volatile void *addr)
{
    *static_cast<volatile uint32_t *>(addr) = b;
}

size_t system_page_size()
{
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void *shared_map(int fd, uint64_t offset, size_t length)
{
    return mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
}

void shared_unmap(void *base, size_t length)
{
    munmap(base, length);
}

// Whether the device tree's compatible list (NUL-separated names) has an
// SoC of the family among its entries, each compared whole. A machine without
// a device tree is not one.
bool machine_is_rk3588()
{
    unique_fd fd(open(paths::dt_compatible, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.ok())
        return false;
    char list[4096];
    size_t len = 0;
    while (len < sizeof(list)) {
        ssize_t n = read(fd.get(), list + len, sizeof(list) - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        len += static_cast<size_t>(n);
    }
    for (std::string_view rest(list, len); !rest.empty();) {
        size_t end = rest.find('\0');
        for (std::string_view soc : rk3588_family)
            if (rest.substr(0, end) == soc)
                return true;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

// On any other machine the same physical addresses belong to something else:
// nothing is mapped, and the log says so once, not on every request.
bool pin_registers_known()
{
    static bool refused = false;
    if (machine_is_rk3588()) {
        refused = false;
        return true;
    }
    if (!refused)
        vskprint(LOG_LEVEL_WARN, handler,
                 "this machine is not an RK3588 or RK3588S (no %s or %s in %s), the pin registers are left alone\n",
                 rk3588_family[0], rk3588_family[1], paths::dt_compatible);
    refused = true;
    return false;
}

bool is_sd_card(uint32_t val_ioc)
{
    return (val_ioc & sd_card_bits) == sd_card_bits;
}

// The toggle itself, on blocks already mapped: grf and ioc point at the
// blocks' bases.
vkstatus jtag_registers_switch(volatile uint8_t *grf, volatile uint8_t *ioc, bool status, const rk3588_io &io)
{
    volatile uint8_t *soc_con6 = grf + SOC_CON6;
    volatile uint8_t *iomux = ioc + GPIO4D_IOMUX_SEL_L;

    uint32_t val_grf = io.readl(soc_con6);
    vskprint(LOG_LEVEL_INFO, handler, "current value of SOC_CON6 = 0x%x\n", val_grf);
    uint32_t val_ioc = io.readl(iomux);
    vskprint(LOG_LEVEL_INFO, handler, "current value of GPIO4D_IOMUX_SEL_L = 0x%x\n", val_ioc);

    if (status) {
        vskprint(LOG_LEVEL_INFO, handler, "value is set to = 0x%x\n", soc_con6_set);
        io.writel(soc_con6_set, soc_con6);
        val_grf = io.readl(soc_con6);
        vskprint(LOG_LEVEL_INFO, handler, "current value of SOC_CON6 = 0x%x\n", val_grf);

        uint32_t select;
        if (is_sd_card(val_ioc)) {
            vskprint(LOG_LEVEL_INFO, handler, "will set register status to jtag & uart mode\n");
            select = select_jtag_uart;
        } else {
            vskprint(LOG_LEVEL_INFO, handler, "will set register status to sd card mode\n");
            select = select_sd_card;
        }
        vskprint(LOG_LEVEL_INFO, handler, "val_ioc is set to = 0x%x\n", select);
        // The upper half is the write-enable mask: one store, no read-modify-write.
        io.writel(select, iomux);
        // Judge by what the hardware reports, not by what was written.
        val_ioc = io.readl(iomux);
        vskprint(LOG_LEVEL_INFO, handler, "current value of GPIO4D_IOMUX_SEL_L = 0x%x\n", val_ioc);
    }
    return is_sd_card(val_ioc) ? vkstatus::vkoff : vkstatus::vkon;
}

} // namespace

rk3588_window rk3588_window_of(uint64_t base, size_t window, size_t page_size)
{
    uint64_t pbase = base / page_size * page_size;
    return {.pbase = pbase, .poffset = base - pbase, .length = static_cast<size_t>(base - pbase) + window};
}

vkstatus jtag_status_handle(bool status)
{
    if (!pin_registers_known())
        return vkstatus::vkunknow;
    const rk3588_io &io = *rk3588_io_get();
    const size_t page_size = io.page_size();
    const rk3588_window grf = rk3588_window_of(rk3588_grf_base, rk3588_grf_window, page_size);
    const rk3588_window ioc = rk3588_window_of(rk3588_ioc_base, rk3588_ioc_window, page_size);

    // A failed open shows as a failed mapping of the first window.
    unique_fd fd(open(paths::dev_mem, O_RDWR | O_SYNC | O_CLOEXEC));
    mapped_window base_grf(io, fd.get(), grf.pbase, grf.length);
    if (!base_grf.ok()) {
        vskprint(LOG_LEVEL_INFO, handler, "failed to map GRF memory at 0x%lx\n", static_cast<unsigned long>(rk3588_grf_base));
        return vkstatus::vkunknow;
    }
    mapped_window base_ioc(io, fd.get(), ioc.pbase, ioc.length);
    if (!base_ioc.ok()) {
        vskprint(LOG_LEVEL_INFO, handler, "failed to map GRF memory at 0x%lx\n", static_cast<unsigned long>(rk3588_ioc_base));
        return vkstatus::vkunknow;
    }
    vkstatus result = jtag_registers_switch(base_grf.at(grf.poffset), base_ioc.at(ioc.poffset), status, io);
    // Released in the order they were mapped.
    base_grf.release();
    base_ioc.release();
    return result;
}

namespace {

const rk3588_io raw_io = {
    .readl = raw_readl,
    .writel = raw_writel,
    .page_size = system_page_size,
    .map = shared_map,
    .unmap = shared_unmap,
};

// The handler may run on the receiver thread while a test swaps the table.
std::atomic<const rk3588_io *> in_use{&raw_io};

} // namespace

const rk3588_io *rk3588_io_get()
{
    return in_use.load();
}

const rk3588_io *rk3588_io_set(const rk3588_io *io)
{
    return in_use.exchange(io ? io : &raw_io);
}
