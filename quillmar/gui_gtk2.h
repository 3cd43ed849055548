// The assistant's GTK2 window: frame, Base Functions panel, SysRq pages and
// the process explorer page.
#pragma once

#include <cstdint>
#include <gtk/gtk.h>

#include "database.h"
#include "gui.h"
#include "proc_record.h"

inline constexpr int base_btn_count = 5;
inline constexpr int sysrq_btn_count = 35;

// Every widget the assistant reaches after building it. The window owns them.
struct gtk2_modules {
    int64_t dbstat;
    int32_t timerid;
    GtkWidget *window;
    GtkWidget *notebook; // the top-level one
    GtkWidget *clist;
    GtkWidget *base_btns[base_btn_count];
    GtkWidget *base_btns_box[base_btn_count];
    GtkWidget *sysrq_btns[sysrq_btn_count];
    GtkWidget *labels[base_btn_count];
    GtkWidget *imgs[base_btn_count];
};

extern gtk2_modules g2modules;

struct gtk2_base_operate {
    void (*info_dialog)(const char *msg);
    void (*question_dialog)(const char *msg);
    void (*warn_dialog)(const char *msg);
    void (*error_dialog)(const char *msg);
    // Asks before an action that cannot be taken back: true when the user
    // chose the button named action.
    bool (*confirm_dialog)(const char *msg, const char *action);
    void (*prepare2_flush_clist)(GtkWidget *clist);
    void (*finish_flush_clist)(GtkWidget *clist);
};

const gtk2_base_operate *gtk2_get_base_operate();

// The GTK2 GUI on the store tmp; clean_up is the program's exit path, taken
// when the window is closed or cannot be made.
quillmar_gui_operate gui_get_gtk2_operate(quillmar_db_operate tmp, quillmar_exit_fn clean_up);

// Lists one process; the store calls it for each row, in its order, between
// prepare2_flush_clist and finish_flush_clist. The row already shown for the
// process is updated in place; outside that bracket the row is appended.
void gtk2_flush_clist(proc_info info);
