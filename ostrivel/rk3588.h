// Switches the RK3588 debug pin group between the SD card and the JTAG & UART
// function by writing the SoC's pin-mux registers through /dev/mem.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vkstatus.h"

inline constexpr uint64_t rk3588_grf_base = 0xfd58c000;
inline constexpr size_t rk3588_grf_window = 0x1000;
inline constexpr uint64_t rk3588_ioc_base = 0xfd5f8000;
inline constexpr size_t rk3588_ioc_window = 0x9c;
inline constexpr size_t SOC_CON6 = 0x318;           // in the GRF block
inline constexpr size_t GPIO4D_IOMUX_SEL_L = 0x98;  // in the IOC block

// Where a register block lands in a page-aligned mapping of /dev/mem.
struct rk3588_window {
    uint64_t pbase;   // page-aligned file offset to map
    uint64_t poffset; // the block's offset within that mapping
    size_t length;    // bytes to map
};

rk3588_window rk3588_window_of(uint64_t base, size_t window, size_t page_size);

// The handler's reach into the machine: 32-bit register access (the board's
// is a plain volatile load and store), the page size its windows are aligned
// to, and the mapping of /dev/mem. map returns MAP_FAILED on failure.
struct rk3588_io {
    uint32_t (*readl)(const volatile void *addr);
    void (*writel)(uint32_t value, volatile void *addr);
    size_t (*page_size)();
    void *(*map)(int fd, uint64_t offset, size_t length);
    void (*unmap)(void *base, size_t length);
};

const rk3588_io *rk3588_io_get();
// For tests that inject faults or other pages: rk3588_io_get hands out io
// from now on, or the module's own table again after nullptr. Returns the
// table it replaced. The service itself never calls it.
const rk3588_io *rk3588_io_set(const rk3588_io *io);

vkstatus jtag_status_handle(bool status);
