// Board features switched through kernel control files: the USB2 PHY's OTG
// port mode, the SysRq enable, and the SysRq trigger.
#pragma once

#include <cstdint>

#include "file_context.h"
#include "vkstatus.h"

struct file_operate {
    int64_t (*gfopen)(const char *path);
    file_context_info (*gfread)(int64_t fd);
    file_context_info (*gfwrite)(int64_t fd, const char *cmd);
    void (*gfclose)(int64_t fd);
};

const file_operate *fp_get();
// For tests that inject faults: fp_get hands out table from now on, or the
// module's own table again after nullptr. Returns the table it replaced.
// The service itself never calls it.
const file_operate *fp_set(const file_operate *table);

vkstatus otg_status_handle(bool status);
vkstatus sysrq_switch_status_handle(bool status);
// Whether the kernel took the command: a caller must be able to tell a
// command that never reached it.
bool sysrq_trigger_status_handle(const char *cmd);
