// Every path compiled into the two programs, in one place.
//
// VASK_SYSROOT is a build option: empty for the board, a directory for a
// simulated board. It prefixes every board and installation path; reads of a
// process's own /proc entries are never prefixed and do not live here.
#pragma once

#include <cstddef>

#ifndef VASK_SYSROOT
#define VASK_SYSROOT ""
#endif

namespace paths {

inline constexpr char sysroot[] = VASK_SYSROOT;
inline constexpr std::size_t sysroot_len = sizeof(sysroot) - 1;
// A simulated board keeps its control files as plain files; see magic.cpp.
inline constexpr bool simulated_board = sysroot_len != 0;

// Log directories, tried in this order.
inline constexpr const char *log_dirs[] = {
    VASK_SYSROOT "/opt/vask/logs/",
    VASK_SYSROOT "/var/log/",
    VASK_SYSROOT "/data/",
};

// Key files of the two message queues. The board's one running assistant
// holds a lock on its reply queue's.
inline constexpr char ostrivel_ipc_key[] = VASK_SYSROOT "/opt/vask/ostrivel/resources/ipc/ostrivel.ipc";
inline constexpr char quillmar_ipc_key[] = VASK_SYSROOT "/opt/vask/quillmar/resources/ipc/quillmar.ipc";

// Kernel control files and the physical memory device of the board.
inline constexpr char otg_mode[] =
    VASK_SYSROOT "/sys/devices/platform/fd5d0000.syscon/fd5d0000.syscon:usb2-phy@0/otg_mode";
inline constexpr char sysrq_enable[] = VASK_SYSROOT "/proc/sys/kernel/sysrq";
inline constexpr char sysrq_trigger[] = VASK_SYSROOT "/proc/sysrq-trigger";
inline constexpr char dev_mem[] = VASK_SYSROOT "/dev/mem";
// The machine's device-tree compatible list: the pin registers are the
// RK3588's only where it names that SoC.
inline constexpr char dt_compatible[] = VASK_SYSROOT "/proc/device-tree/compatible";

// The assistant's installed resources.
#define VASK_ICON_DIR VASK_SYSROOT "/opt/vask/quillmar/resources/icons/"
inline constexpr char icon_dir[] = VASK_ICON_DIR;
inline constexpr char icon_quillmar[] = VASK_ICON_DIR "quillmar.png";
inline constexpr char icon_update[] = VASK_ICON_DIR "update.png";
inline constexpr char icon_wifi[] = VASK_ICON_DIR "wifi.png";
inline constexpr char icon_otg[] = VASK_ICON_DIR "otg.png";
inline constexpr char icon_host[] = VASK_ICON_DIR "host.png";
inline constexpr char icon_sdc[] = VASK_ICON_DIR "sdc.png";
inline constexpr char icon_jtag[] = VASK_ICON_DIR "jtag.png";
inline constexpr char icon_sysrq[] = VASK_ICON_DIR "sysrq.png";
inline constexpr char icon_non_sysrq[] = VASK_ICON_DIR "non-sysrq.png";
#undef VASK_ICON_DIR
#define VASK_DB_DIR VASK_SYSROOT "/opt/vask/quillmar/resources/db/"
inline constexpr char process_db[] = VASK_DB_DIR "quillmar.db";
// Where a database SQLite found damaged is kept.
inline constexpr char process_db_damaged[] = VASK_DB_DIR "quillmar.db.damaged";
#undef VASK_DB_DIR

} // namespace paths
