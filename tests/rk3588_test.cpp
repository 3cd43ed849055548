// The pin-function toggle against the simulated board's /dev/mem: the real
// handler maps it, with the page size the test chooses, and its register
// stores go through a model of the RK3588 write-enable mask.
#include <array>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <vector>

#include "paths.h"
#include "rk3588.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// The registers as the SoC has them, on the mapped file: the lower 16 bits
// take the bits whose enable bit (n + 16) is set in the value stored, and the
// upper half reads 0. Each mapping is remembered, so an address can be told
// as the physical address it stands for.
struct board_io {
    struct window {
        uint64_t offset;
        void *base;
        size_t length;
    };
    static inline size_t page = 0x1000;
    static inline bool refuse_ioc = false;  // the IOC window cannot be mapped
    static inline uint64_t frozen = 0;      // a register that ignores stores
    static inline std::vector<window> live;             // mapped now
    static inline std::vector<window> mapped, unmapped; // in the order it happened

    static uint64_t physical(const volatile void *addr)
    {
        auto *a = reinterpret_cast<const volatile uint8_t *>(addr);
        for (const window &w : live) {
            auto *b = static_cast<const volatile uint8_t *>(w.base);
            if (a >= b && a < b + w.length)
                return w.offset + static_cast<uint64_t>(a - b);
        }
        ADD_FAILURE() << "register access outside the mapped windows";
        return 0;
    }
    static uint32_t readl(const volatile void *addr)
    {
        physical(addr);
        return *static_cast<const volatile uint32_t *>(addr);
    }
    static void writel(uint32_t value, volatile void *addr)
    {
        if (physical(addr) == frozen)
            return;
        auto *reg = static_cast<volatile uint32_t *>(addr);
        uint32_t enable = value >> 16;
        *reg = ((*reg & ~enable) | (value & enable)) & 0xffff;
    }
    static size_t page_size() { return page; }
    static void *map(int fd, uint64_t offset, size_t length)
    {
        if (refuse_ioc && offset == rk3588_ioc_base / page * page)
            return MAP_FAILED;
        void *base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
        if (base != MAP_FAILED) {
            mapped.push_back({offset, base, length});
            live.push_back({offset, base, length});
        }
        return base;
    }
    static void unmap(void *base, size_t length)
    {
        for (auto w = live.begin(); w != live.end(); ++w)
            if (w->base == base) {
                unmapped.push_back({w->offset, base, length});
                live.erase(w);
                break;
            }
        munmap(base, length);
    }
};

const rk3588_io masked_io = {
    .readl = board_io::readl,
    .writel = board_io::writel,
    .page_size = board_io::page_size,
    .map = board_io::map,
    .unmap = board_io::unmap,
};

size_t open_descriptors()
{
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

class Rk3588Registers : public ::testing::Test {
protected:
    void SetUp() override
    {
        test::board::lay();
        board_io::page = 0x1000;
        board_io::refuse_ioc = false;
        board_io::frozen = 0;
        board_io::live.clear();
        board_io::mapped.clear();
        board_io::unmapped.clear();
        previous = rk3588_io_set(&masked_io);
    }
    void TearDown() override { rk3588_io_set(previous); }

    static vkstatus run(bool status)
    {
        vkstatus result = vkstatus::vkunknow;
        test::capture_stderr([&] { result = jtag_status_handle(status); });
        return result;
    }

    const rk3588_io *previous = nullptr;
};

// Pages of 4, 16 and 64 KiB: the GRF block lies 0, 0 and 0xC000 bytes into
// its page, the IOC block 0, 0 and 0x8000 bytes.
constexpr size_t page_sizes[] = {0x1000, 0x4000, 0x10000};

TEST_F(Rk3588Registers, PinFunctionIsJudgedAndToggledThroughTheMask)
{
    struct {
        uint32_t before;
        bool toggle;
        vkstatus result;
        uint32_t after;
    } cases[] = {
        {0x5500, false, vkstatus::vkoff, 0x5500}, {0x5500, true, vkstatus::vkon, 0x11aa},
        {0x11aa, false, vkstatus::vkon, 0x11aa},  {0x11aa, true, vkstatus::vkoff, 0x5500},
        {0x0000, false, vkstatus::vkon, 0x0000},  {0x0000, true, vkstatus::vkoff, 0x5500},
        {0x7f00, false, vkstatus::vkoff, 0x7f00}, {0x7f00, true, vkstatus::vkon, 0x11aa},
    };
    for (size_t page : page_sizes) {
        board_io::page = page;
        for (const auto &c : cases) {
            test::board::set_reg(test::board::iomux, c.before);
            test::board::set_reg(test::board::soc_con6, 0x0003);
            EXPECT_EQ(run(c.toggle), c.result) << std::hex << c.before << " toggle " << c.toggle << " page " << page;
            EXPECT_EQ(test::board::reg(test::board::iomux), c.after)
                << std::hex << c.before << " toggle " << c.toggle << " page " << page;
            // Bit 14 is set before a change and the other bits are kept.
            EXPECT_EQ(test::board::reg(test::board::soc_con6), c.toggle ? 0x4003u : 0x0003u)
                << std::hex << c.before << " toggle " << c.toggle << " page " << page;
        }
    }
}

TEST_F(Rk3588Registers, WindowsAreMappedAtTheirPagesAndReleased)
{
    const struct {
        size_t page;
        board_io::window grf, ioc;
    } cases[] = {
        {0x1000, {0xfd58c000, nullptr, 0x1000}, {0xfd5f8000, nullptr, 0x9c}},
        {0x4000, {0xfd58c000, nullptr, 0x1000}, {0xfd5f8000, nullptr, 0x9c}},
        {0x10000, {0xfd580000, nullptr, 0xd000}, {0xfd5f0000, nullptr, 0x809c}},
    };
    const size_t descriptors = open_descriptors();
    for (const auto &c : cases) {
        board_io::page = c.page;
        board_io::mapped.clear();
        board_io::unmapped.clear();
        for (bool toggle : {false, true}) {
            run(toggle);
            ASSERT_EQ(board_io::mapped.size(), 2u) << std::hex << c.page;
            EXPECT_EQ(board_io::mapped[0].offset, c.grf.offset) << std::hex << c.page;
            EXPECT_EQ(board_io::mapped[0].length, c.grf.length) << std::hex << c.page;
            EXPECT_EQ(board_io::mapped[1].offset, c.ioc.offset) << std::hex << c.page;
            EXPECT_EQ(board_io::mapped[1].length, c.ioc.length) << std::hex << c.page;
            // Released GRF first, each with the length it was mapped with.
            ASSERT_EQ(board_io::unmapped.size(), 2u) << std::hex << c.page;
            EXPECT_EQ(board_io::unmapped[0].offset, c.grf.offset) << std::hex << c.page;
            EXPECT_EQ(board_io::unmapped[0].length, c.grf.length) << std::hex << c.page;
            EXPECT_EQ(board_io::unmapped[1].offset, c.ioc.offset) << std::hex << c.page;
            EXPECT_EQ(board_io::unmapped[1].length, c.ioc.length) << std::hex << c.page;
            board_io::mapped.clear();
            board_io::unmapped.clear();
        }
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST_F(Rk3588Registers, ResultIsWhatTheHardwareReadsBack)
{
    board_io::frozen = test::board::iomux;
    std::string err;
    vkstatus result = vkstatus::vkunknow;
    err = test::capture_stderr([&] { result = jtag_status_handle(true); });
    EXPECT_EQ(result, vkstatus::vkoff);
    EXPECT_EQ(test::board::reg(test::board::iomux), 0x5500u);
    EXPECT_TRUE(test::has_lines_in_order(err, {"val_ioc is set to = 0xffff11aa",
                                               "current value of GPIO4D_IOMUX_SEL_L = 0x5500"}))
        << err;
}

TEST_F(Rk3588Registers, ToggleFromSdCardLogsInOrder)
{
    board_io::page = 0x10000;
    std::string err = test::capture_stderr([] { jtag_status_handle(true); });
    EXPECT_EQ(test::lines_of(err), (std::vector<std::string>{
                                       "current value of SOC_CON6 = 0x0",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x5500",
                                       "value is set to = 0x40004000",
                                       "current value of SOC_CON6 = 0x4000",
                                       "will set register status to jtag & uart mode",
                                       "val_ioc is set to = 0xffff11aa",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x11aa",
                                   }));
    err = test::capture_stderr([] { jtag_status_handle(true); });
    EXPECT_EQ(test::lines_of(err), (std::vector<std::string>{
                                       "current value of SOC_CON6 = 0x4000",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x11aa",
                                       "value is set to = 0x40004000",
                                       "current value of SOC_CON6 = 0x4000",
                                       "will set register status to sd card mode",
                                       "val_ioc is set to = 0xffff5500",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x5500",
                                   }));
    // A query only reads.
    err = test::capture_stderr([] { jtag_status_handle(false); });
    EXPECT_EQ(test::lines_of(err), (std::vector<std::string>{
                                       "current value of SOC_CON6 = 0x4000",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x5500",
                                   }));
}

TEST_F(Rk3588Registers, UnmappableIocWindowIsUnknownAndReleasesTheGrfWindow)
{
    const size_t descriptors = open_descriptors();
    for (size_t page : page_sizes) {
        board_io::page = page;
        board_io::refuse_ioc = true;
        board_io::mapped.clear();
        board_io::unmapped.clear();
        vkstatus result = vkstatus::vkon;
        std::string err = test::capture_stderr([&] { result = jtag_status_handle(true); });
        EXPECT_EQ(result, vkstatus::vkunknow) << std::hex << page;
        EXPECT_EQ(err, "failed to map GRF memory at 0xfd5f8000\n") << std::hex << page;
        ASSERT_EQ(board_io::unmapped.size(), 1u) << std::hex << page;
        EXPECT_EQ(board_io::unmapped[0].offset, board_io::mapped[0].offset) << std::hex << page;
        EXPECT_EQ(board_io::unmapped[0].length, board_io::mapped[0].length) << std::hex << page;
        // Nothing was written.
        EXPECT_EQ(test::board::reg(test::board::iomux), 0x5500u);
        EXPECT_EQ(test::board::reg(test::board::soc_con6), 0x0u);
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(Rk3588Windows, BlocksAreFoundInTheirPages)
{
    struct {
        size_t page;
        uint64_t base;
        size_t window;
        rk3588_window expect;
    } cases[] = {
        {0x1000, rk3588_grf_base, rk3588_grf_window, {0xfd58c000, 0x0, 0x1000}},
        {0x1000, rk3588_ioc_base, rk3588_ioc_window, {0xfd5f8000, 0x0, 0x9c}},
        {0x10000, rk3588_grf_base, rk3588_grf_window, {0xfd580000, 0xc000, 0xd000}},
        {0x10000, rk3588_ioc_base, rk3588_ioc_window, {0xfd5f0000, 0x8000, 0x809c}},
        {0x4000, rk3588_grf_base, rk3588_grf_window, {0xfd58c000, 0x0, 0x1000}},
        {0x4000, rk3588_ioc_base, rk3588_ioc_window, {0xfd5f8000, 0x0, 0x9c}},
    };
    for (const auto &c : cases) {
        rk3588_window w = rk3588_window_of(c.base, c.window, c.page);
        EXPECT_EQ(w.pbase, c.expect.pbase) << std::hex << c.base << " page " << c.page;
        EXPECT_EQ(w.poffset, c.expect.poffset) << std::hex << c.base << " page " << c.page;
        EXPECT_EQ(w.length, c.expect.length) << std::hex << c.base << " page " << c.page;
    }
}

// The module's own table: the system's page size, plain loads and stores.
class Rk3588Board : public ::testing::Test {
protected:
    void SetUp() override { test::board::lay(); }
};

TEST_F(Rk3588Board, DevMemIsMappedReadAndWritten)
{
    test::capture_stderr([] { EXPECT_EQ(jtag_status_handle(false), vkstatus::vkoff); });
    EXPECT_EQ(test::board::reg(test::board::iomux), 0x5500u);

    // The simulated /dev/mem keeps all 32 bits of a store.
    test::capture_stderr([] { EXPECT_EQ(jtag_status_handle(true), vkstatus::vkon); });
    EXPECT_EQ(test::board::reg(test::board::iomux), 0xffff11aau);
    EXPECT_EQ(test::board::reg(test::board::soc_con6), 0x40004000u);

    test::capture_stderr([] { EXPECT_EQ(jtag_status_handle(true), vkstatus::vkoff); });
    EXPECT_EQ(test::board::reg(test::board::iomux), 0xffff5500u);
}

// The physical addresses are the RK3588's: anywhere else nothing is mapped,
// nothing written, and the log says why once.
TEST_F(Rk3588Registers, OnlyAnRk3588HasItsRegistersTouched)
{
    struct {
        std::string compatible; // empty: no file at all
        bool rk3588;
    } cases[] = {
        {std::string("rockchip,rk3588-evb1-v10\0rockchip,rk3588\0", 41), true},
        {std::string("rockchip,rk3588", 15), true},
        {std::string("rockchip,rk3588s", 16), true},
        {std::string("linux,dummy-virt\0", 17), false},
        {std::string("rockchip,rk3568-evb1-v10\0rockchip,rk3568\0", 41), false},
        {std::string("rockchip,rk3588s0\0rockchip,rk35880\0rockchip,rk358\0", 50), false},
        {std::string("xrockchip,rk3588\0", 17), false},
        {"", false},
    };
    for (const auto &c : cases) {
        test::board::lay();
        // From an RK3588 each time, so that every case may log its refusal.
        test::capture_stderr([] { jtag_status_handle(false); });
        fs::remove(paths::dt_compatible);
        if (!c.compatible.empty())
            test::write_file(paths::dt_compatible, c.compatible);
        board_io::mapped.clear();
        std::string err;
        vkstatus results[2];
        for (vkstatus &result : results)
            err += test::capture_stderr([&] { result = jtag_status_handle(true); });
        const std::string refusal = std::string("this machine is not an RK3588 or RK3588S (no rockchip,rk3588 or "
                                                "rockchip,rk3588s in ") +
                                    paths::dt_compatible + "), the pin registers are left alone";
        if (c.rk3588) {
            EXPECT_EQ(results[0], vkstatus::vkon) << c.compatible;
            EXPECT_EQ(board_io::mapped.size(), 4u) << c.compatible;
            EXPECT_EQ(err.find(refusal), std::string::npos) << err;
        } else {
            EXPECT_EQ(results[0], vkstatus::vkunknow) << c.compatible;
            EXPECT_EQ(results[1], vkstatus::vkunknow) << c.compatible;
            EXPECT_TRUE(board_io::mapped.empty()) << c.compatible;
            EXPECT_EQ(test::board::reg(test::board::iomux), 0x5500u) << c.compatible;
            EXPECT_EQ(test::board::reg(test::board::soc_con6), 0u) << c.compatible;
            EXPECT_EQ(test::lines_of(err), std::vector<std::string>{refusal}) << c.compatible;
        }
    }
    // The simulated board's own states: an Orange Pi 5, and another machine.
    test::board::lay({"--rk3588s"});
    board_io::mapped.clear();
    EXPECT_EQ(run(true), vkstatus::vkon);
    EXPECT_EQ(test::board::reg(test::board::iomux), 0x11AAu);
    test::board::lay({"--not-rk3588"});
    board_io::mapped.clear();
    EXPECT_EQ(run(true), vkstatus::vkunknow);
    EXPECT_TRUE(board_io::mapped.empty());
}

TEST_F(Rk3588Board, MissingDevMemIsUnknown)
{
    test::board::lay({"--no-mem"});
    vkstatus result = vkstatus::vkon;
    std::string err = test::capture_stderr([&] { result = jtag_status_handle(true); });
    EXPECT_EQ(result, vkstatus::vkunknow);
    EXPECT_EQ(err, "failed to map GRF memory at 0xfd58c000\n");
    EXPECT_FALSE(fs::exists(paths::dev_mem));
}

} // namespace
