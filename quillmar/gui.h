// The assistant's GUI as the entry sees it: one table of operations and the
// start sequence that drives it.
#pragma once

#include <cstdint>

struct quillmar_gui_operate {
    void (*quillmar_gui_create_window)();
    void (*quillmar_gui_signal_handle)();
    void (*quillmar_gui_run)(int64_t dbstat);
    void (*quillmar_gui_update)(int8_t data);
    void (*quillmar_gui_sysrq_failed)(const char *cmd);
};

void gui_run();
