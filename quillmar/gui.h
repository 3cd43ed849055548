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
    // For a start that finds the assistant running already: brings its
    // window to the front, or else says in a dialog that it runs. Returns
    // whether the window was brought forward.
    bool (*quillmar_gui_show_running)();
};

// The program's exit path (quillmar_clean_up): it does not return.
using quillmar_exit_fn = void (*)(int exitnum);

// Runs the GUI; the window's fatal paths and its closing end the program
// through clean_up.
void gui_run(quillmar_exit_fn clean_up);
// Shows the user the assistant that runs already, through the GUI table.
bool gui_show_running(quillmar_exit_fn clean_up);
