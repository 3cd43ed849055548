// The pin-function toggle: against a model of the RK3588 registers that
// applies the write-enable mask, and against the simulated board's /dev/mem.
#include <array>
#include <filesystem>
#include <gtest/gtest.h>

#include "paths.h"
#include "rk3588.h"
#include "support.h"

namespace {

// The lower 16 bits of a register take the bits whose enable bit (n + 16) is
// set in the value stored; the upper half always reads 0.
struct register_model {
    static inline volatile void *frozen = nullptr; // a register that ignores stores

    static uint32_t readl(const volatile void *addr) { return *static_cast<const volatile uint32_t *>(addr); }
    static void writel(uint32_t value, volatile void *addr)
    {
        if (addr == frozen)
            return;
        auto *reg = static_cast<volatile uint32_t *>(addr);
        uint32_t enable = value >> 16;
        *reg = ((*reg & ~enable) | (value & enable)) & 0xffff;
    }
};

const rk3588_io masked_io = {.readl = register_model::readl, .writel = register_model::writel};

struct blocks {
    alignas(4) std::array<uint8_t, 0x1000> grf{};
    alignas(4) std::array<uint8_t, 0x100> ioc{};
    uint32_t &soc_con6() { return *reinterpret_cast<uint32_t *>(grf.data() + SOC_CON6); }
    uint32_t &iomux() { return *reinterpret_cast<uint32_t *>(ioc.data() + GPIO4D_IOMUX_SEL_L); }
    vkstatus run(bool status) { return jtag_registers_switch(grf.data(), ioc.data(), status, masked_io); }
};

TEST(Rk3588Registers, PinFunctionIsJudgedAndToggledThroughTheMask)
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
    for (const auto &c : cases) {
        blocks b;
        b.iomux() = c.before;
        b.soc_con6() = 0x0003;
        vkstatus result = vkstatus::vkunknow;
        test::capture_stderr([&] { result = b.run(c.toggle); });
        EXPECT_EQ(result, c.result) << std::hex << c.before << " toggle " << c.toggle;
        EXPECT_EQ(b.iomux(), c.after) << std::hex << c.before << " toggle " << c.toggle;
        // Bit 14 is set before a change and the other bits are kept.
        EXPECT_EQ(b.soc_con6(), c.toggle ? 0x4003u : 0x0003u);
    }
}

TEST(Rk3588Registers, ResultIsWhatTheHardwareReadsBack)
{
    blocks b;
    b.iomux() = 0x5500;
    register_model::frozen = &b.iomux();
    vkstatus result = vkstatus::vkunknow;
    std::string err = test::capture_stderr([&] { result = b.run(true); });
    register_model::frozen = nullptr;
    EXPECT_EQ(result, vkstatus::vkoff);
    EXPECT_TRUE(test::has_lines_in_order(err, {"val_ioc is set to = 0xffff11aa",
                                               "current value of GPIO4D_IOMUX_SEL_L = 0x5500"}))
        << err;
}

TEST(Rk3588Registers, ToggleFromSdCardLogsInOrder)
{
    blocks b;
    b.iomux() = 0x5500;
    std::string err = test::capture_stderr([&] { b.run(true); });
    EXPECT_EQ(test::lines_of(err), (std::vector<std::string>{
                                       "current value of SOC_CON6 = 0x0",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x5500",
                                       "value is set to = 0x40004000",
                                       "current value of SOC_CON6 = 0x4000",
                                       "will set register status to jtag & uart mode",
                                       "val_ioc is set to = 0xffff11aa",
                                       "current value of GPIO4D_IOMUX_SEL_L = 0x11aa",
                                   }));
    err = test::capture_stderr([&] { b.run(true); });
    EXPECT_TRUE(test::has_lines_in_order(err, {"will set register status to sd card mode",
                                               "val_ioc is set to = 0xffff5500"}))
        << err;
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

    // With 64 KiB pages the registers still sit at their offsets from the
    // blocks' bases, deep inside the mapped windows.
    std::vector<uint8_t> grf_page(0xd000), ioc_page(0x809c + 4);
    auto *iomux = reinterpret_cast<uint32_t *>(ioc_page.data() + 0x8000 + GPIO4D_IOMUX_SEL_L);
    *iomux = 0x5500;
    test::capture_stderr([&] {
        EXPECT_EQ(jtag_registers_switch(grf_page.data() + 0xc000, ioc_page.data() + 0x8000, true, masked_io),
                  vkstatus::vkon);
    });
    EXPECT_EQ(*iomux, 0x11aau);
    EXPECT_EQ(*reinterpret_cast<uint32_t *>(grf_page.data() + 0xc000 + SOC_CON6), 0x4000u);
}

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

TEST_F(Rk3588Board, MissingDevMemIsUnknown)
{
    test::board::lay({"--no-mem"});
    vkstatus result = vkstatus::vkon;
    std::string err = test::capture_stderr([&] { result = jtag_status_handle(true); });
    EXPECT_EQ(result, vkstatus::vkunknow);
    EXPECT_EQ(err, "failed to map GRF memory at 0xfd58c000\n");
    EXPECT_FALSE(std::filesystem::exists(paths::dev_mem));
}

} // namespace
