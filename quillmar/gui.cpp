// Binds the GTK2 GUI to the process store and starts it.
#include "gui.h"

#include "database.h"
#include "gui_gtk2.h"
#include "log.h"
#include "process.h"
#include "quillmar/ipc.h"

void gui_run(quillmar_exit_fn clean_up)
{
    quillmar_db_operate db = db_get_operate();
    vskprint(LOG_LEVEL_INFO, __func__, "prepare to create a gui with gtk2\n");
    quillmar_gui_operate gui = gui_get_gtk2_operate(db, clean_up);
    gui.quillmar_gui_create_window();
    gui.quillmar_gui_signal_handle();
    int64_t dbstat = db.quillmar_db_init();
    proc_list_init();
    // Registered before the first request goes out, so its reply finds them.
    notifier_register(notifier_gui_update, gui.quillmar_gui_update);
    notifier_register(notifier_sysrq_failed, gui.quillmar_gui_sysrq_failed);
    gui.quillmar_gui_run(dbstat);
}

bool gui_show_running(quillmar_exit_fn clean_up)
{
    return gui_get_gtk2_operate(db_get_operate(), clean_up).quillmar_gui_show_running();
}
