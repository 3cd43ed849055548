// The assistant's window on GTK2: the frame (window, notebooks, dialogs,
// requests to the service), the Base Functions panel, the three SysRq pages
// and the process explorer page.
#include "gui_gtk2.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gdk/gdkkeysyms.h>
#include <gdk/gdkx.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "ip.h"
#include "log.h"
#include "paths.h"
#include "proc_action.h"
#include "process.h"
#include "version.h"
#include "common/ipc.h"
#include "quillmar/ipc.h"

gtk2_modules g2modules;

namespace {

// --- tables ----------------------------------------------------------------

constexpr const char *base_btns_msg[base_btn_count] = {"0", ".", "1", "2", "4"};
constexpr const char *base_btn_labels[base_btn_count] = {
    " Update Status", "----------------", "----------------", "----------------", "----------------",
};
constexpr const char *base_btn_imgs[base_btn_count] = {
    paths::icon_update, paths::icon_wifi, paths::icon_otg, paths::icon_sdc, paths::icon_sysrq,
};

// Set and clear texts and icons of the three feature buttons, bit by bit.
constexpr const char *label_text[6] = {" OTG", " Host", " JTAG & UART", " SD Card", " SysRq", " NonRq"};
constexpr const char *img_path[6] = {
    paths::icon_otg, paths::icon_host, paths::icon_jtag, paths::icon_sdc, paths::icon_sysrq, paths::icon_non_sysrq,
};
constexpr uint8_t feature_bits[3] = {1, 2, 4};
constexpr int first_feature_btn = 2;
constexpr int address_btn = 1;

constexpr const char *sysrqdbg_labels[12] = {
    "c: System Crash [Empty Pointer] (2Fn+3)",
    "t: List all processes and their information (3Fn+0)",
    "p: Dump current register and flag bit information (3Fn+6)",
    "m: Dump current memory information (3Fn+3)",
    "l: Display the stack of all active CPUs (3Fn+2)",
    "y: Display CPU registers [SPARC-64] (4Fn+5)",
    "z: Dump FTrace buffer (4Fn+6)",
    "q: Dumping of information from high-precision timers and clocks (3Fn+7)",
    "v: Force recovery of frame buffer / dump ETM buffer [ARM] (4Fn+2)",
    "w: Dumping uninterrupted state processes (4Fn+3)",
    "x: Display PMU register [SPARC-64] / dump TLB [MIPS] (4Fn+4)",
    "n: Set the log level (3Fn+4)",
};
constexpr const char *sysrqsys_labels[13] = {
    "h: Show help information (2Fn+8)",
    "b: Reboot (2Fn+2)",
    "o: Shutdown (3Fn+5)",
    "d: Show all occupied locks (2Fn+4)",
    "e: Ending the process [SIGTERM] (2Fn+5)",
    "i: Force the process to end [SIGKILL] (2Fn+9)",
    "f: Enable OOM Killer(2Fn + 6)",
    "k: End all processes associated with the current console (3Fn+1)",
    "s: Synchronizing buffers to the file system (3Fn+9)",
    "u: Remounting the file system to read-only mode (4Fn+1)",
    "j: Forced freezing of the file system (2Fn+0)",
    "r: Set the keyboard to XLATE mode (3Fn+8)",
    "g: Used by KGDB (2Fn+7)",
};
constexpr const char *sysrqlog_labels[10] = {
    "0 [Log level]", "1 [Log level]", "2 [Log level]", "3 [Log level]", "4 [Log level]",
    "5 [Log level]", "6 [Log level]", "7 [Log level]", "8 [Log level]", "9 [Log level]",
};
constexpr const char *sysrq_btns_msg[sysrq_btn_count] = {
    "c", "t", "p", "m", "l", "y", "z", "q", "v", "w", "x", "n",                  // debugging
    "h", "b", "o", "d", "e", "i", "f", "k", "s", "u", "j", "r", "g",             // system
    "0l", "1l", "2l", "3l", "4l", "5l", "6l", "7l", "8l", "9l",                  // log level
};

// --- process list columns ----------------------------------------------------

// How a cell shows its store column (the one it sorts by).
enum class cell_kind : uint8_t { number, kilobytes, letter, cpu_share, mem_share, text, affinity };

// One row per column of the process list. Name and Cmdline stop growing at
// `cap` pixels; the user may widen them.
struct list_column {
    const char *title;
    proc_column sort;
    cell_kind kind;
    int cap = 0;
};

constexpr list_column pe_list[] = {
    {"Pid", proc_column::Pid, cell_kind::number},
    {"Priority", proc_column::Pr, cell_kind::number},
    {"Nice", proc_column::Nice, cell_kind::number},
    {"S", proc_column::S, cell_kind::letter},
    {"Virt KB", proc_column::Virt, cell_kind::kilobytes},
    {"Res KB", proc_column::Res, cell_kind::kilobytes},
    {"Shr KB", proc_column::Shr, cell_kind::kilobytes},
    {"CPU %", proc_column::CpuTime, cell_kind::cpu_share},
    {"Mem %", proc_column::Res, cell_kind::mem_share},
    {"Time+", proc_column::Time, cell_kind::text},
    {"Name", proc_column::Comm, cell_kind::text, 240},
    {"Affinity / CPU List", proc_column::Affinity, cell_kind::affinity},
    {"Min Fault", proc_column::MinFlt, cell_kind::number},
    {"CMin Fault", proc_column::CMinFlt, cell_kind::number},
    {"Maj Fault", proc_column::MajFlt, cell_kind::number},
    {"CMaj Fault", proc_column::CMajFlt, cell_kind::number},
    {"Cmdline", proc_column::CmdLine, cell_kind::text, 480},
};
constexpr int pe_columns = static_cast<int>(std::size(pe_list));
static_assert(pe_columns == 17);
// Cells hold 279 bytes, "Affinity / CPU List" 299.
constexpr size_t cell_bound = 280, affinity_bound = 300;

char *put_text(std::string_view text, char *t, size_t room)
{
    return std::copy_n(text.data(), std::min(text.size(), room - 1), t);
}

// A cell's text at t, without its NUL: where it ends. Every cell of every row
// is written at every refresh: to_chars, not printf ("%ld", "%.2f", "%lx").
char *put_cell(const list_column &c, const proc_info &p, char *t)
{
    const proc_store_column &s = proc_store_column_of(c.sort);
    constexpr size_t number_room = 64;
    // Single precision, as the list has always shown them.
    auto share = [&](int64_t part, int64_t whole) {
        const auto percent = static_cast<double>(static_cast<float>(part) / static_cast<float>(whole) * 100.0f);
        return std::to_chars(t, t + number_room, percent, std::chars_format::fixed, 2).ptr;
    };
    switch (c.kind) {
    case cell_kind::number: return std::to_chars(t, t + number_room, p.*s.integer).ptr;
    case cell_kind::kilobytes: return std::to_chars(t, t + number_room, p.*s.integer * 4).ptr;
    case cell_kind::letter: return p.state ? (*t = p.state, t + 1) : t;
    case cell_kind::cpu_share: return share(p.cputime, minfo.mtime);
    case cell_kind::mem_share: return share(p.res * 4, minfo.memtotal);
    case cell_kind::text: return put_text(proc_column_text(p, s), t, cell_bound);
    case cell_kind::affinity: {
        char *at = std::copy_n("0x", 2, t);
        at = std::copy_n(" / ", 3, std::to_chars(at, at + 16, static_cast<uint64_t>(p.affinity), 16).ptr);
        return put_text(proc_column_text(p, proc_store_column_of(proc_column::CpuList)), at,
                        affinity_bound - static_cast<size_t>(at - t));
    }
    }
    return t;
}

const char *sort_name(int column)
{
    return proc_store_column_of(pe_list[column].sort).name;
}

// Sort state of the process list: the column sorted by, and each column's
// own direction (true: descending).
struct proc_sort {
    uint8_t sort_type_id;
    bool sort_type_status[pe_columns];
};

proc_sort psort{};

enum tab_flag : uint8_t {
    tab_base = 1,
    tab_process_explorer = 2,
    tab_sysrq_debug = 4,
    tab_sysrq_system = 8,
    tab_sysrq_log = 16,
};

enum tabs_type : uint8_t { tabs_top = 1, tabs_sysrq = 2 };
constexpr uint8_t ipc_to_service = 1;
constexpr int process_explorer_page = 1;
constexpr guint refresh_interval_ms = 5000;
constexpr int exit_window_closed = 10;
constexpr int exit_icon_failed = -3;
// Owned on its display by the window of the board's running assistant: a
// second start finds the window through it.
constexpr char running_selection[] = "VASK_ASSISTANT";
// How long a second start looks for the window of an assistant that is still
// starting, in steps of owner_poll_us.
constexpr int owner_polls = 40;
constexpr gulong owner_poll_us = 50000;

quillmar_db_operate db_operate;
// Handed down by the entry, which owns it and calls into the window.
quillmar_exit_fn program_clean_up;

struct gobject_unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using pixbuf_ref = std::unique_ptr<GdkPixbuf, gobject_unref>;

const gtk2_base_operate &g2operate()
{
    return *gtk2_get_base_operate();
}

// --- dialogs ---------------------------------------------------------------

struct dialog_kind {
    const char *log_line;
    GtkMessageType type;
    GtkButtonsType buttons;
    const char *title;
};

// A dialog with an action button besides kind's own buttons answers whether
// that button was chosen; it is the default.
bool show_dialog(const char *func, const dialog_kind &kind, const char *msg, const char *action = nullptr)
{
    vskprint(LOG_LEVEL_INFO, func, "%s", kind.log_line);
    GtkWidget *dialog = gtk_message_dialog_new(GTK_WINDOW(g2modules.window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               kind.type, kind.buttons, "%s", msg);
    gtk_window_set_title(GTK_WINDOW(dialog), kind.title);
    if (!g2modules.window)
        gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    if (action) {
        gtk_dialog_add_button(GTK_DIALOG(dialog), action, GTK_RESPONSE_ACCEPT);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_ACCEPT);
    }
    const bool chosen = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT;
    gtk_widget_destroy(dialog);
    return chosen;
}

void show_info_dialog(const char *msg)
{
    static constexpr dialog_kind kind = {"gtk2 prepare to create info dialog\n", GTK_MESSAGE_INFO, GTK_BUTTONS_OK,
                                         "Info"};
    show_dialog(__func__, kind, msg);
}

void show_question_dialog(const char *msg)
{
    static constexpr dialog_kind kind = {"gtk2 prepare to create question dialog\n", GTK_MESSAGE_QUESTION,
                                         GTK_BUTTONS_YES_NO, "Question"};
    show_dialog(__func__, kind, msg);
}

void show_warn_dialog(const char *msg)
{
    static constexpr dialog_kind kind = {"gtk2 prepare to create warn dialog\n", GTK_MESSAGE_WARNING, GTK_BUTTONS_OK,
                                         "Warning"};
    show_dialog(__func__, kind, msg);
}

void show_error_dialog(const char *msg)
{
    static constexpr dialog_kind kind = {"gtk2 prepare to create error dialog\n", GTK_MESSAGE_ERROR, GTK_BUTTONS_OK,
                                         "Error"};
    show_dialog(__func__, kind, msg);
}

bool show_confirm_dialog(const char *msg, const char *action)
{
    static constexpr dialog_kind kind = {"gtk2 prepare to create confirm dialog\n", GTK_MESSAGE_QUESTION,
                                         GTK_BUTTONS_CANCEL, "Question"};
    return show_dialog(__func__, kind, msg, action);
}

// --- requests to the service -------------------------------------------------

// The service takes a request in milliseconds; one left in its queue this
// long is not being served.
constexpr auto service_patience = std::chrono::seconds(3);

// The login name of uid, or its number where it has none.
std::string user_name(uid_t uid)
{
    std::string name;
    gid_t gid;
    return ipc_user_lookup(uid, &name, &gid) ? name : std::to_string(uid);
}

// The dialog's first line as it always read, then the reason and what mends it.
std::string trouble_text(const ipc_trouble_info &t)
{
    std::string text = "IPC failure with ostrivel service";
    switch (t.cause) {
    case ipc_trouble::none:
    case ipc_trouble::failed:
        break;
    case ipc_trouble::not_installed:
        text += "\n\nThe service ostrivel is not installed. Install it with\n    sudo apt install ostrivel";
        break;
    case ipc_trouble::not_member: {
        const std::string me = user_name(geteuid());
        text += "\n\nOnly members of the group vask may use the service, and " + me +
                " is not one in this session. Add the user with\n    sudo adduser " + me +
                " vask\nthen log out and log in again.";
        break;
    }
    case ipc_trouble::not_running:
        text += "\n\nThe service ostrivel is not running. Start it with\n    sudo systemctl start ostrivel";
        break;
    case ipc_trouble::reply_queue_held:
        text += "\n\nAnother user";
        if (t.holder != static_cast<uid_t>(-1))
            text += ", uid " + std::to_string(t.holder) + " (" + user_name(t.holder) + "),";
        text += " holds this window's reply queue: no answer from the service can reach it.";
        if (t.queue >= 0)
            text += " Free it with\n    sudo ipcrm -q " + std::to_string(t.queue);
        text += "\nThe window takes the queue over by itself once it is free.";
        break;
    }
    return text;
}

void tell_trouble()
{
    ipc_trouble_info trouble;
    if (msg_trouble(service_patience, &trouble))
        g2operate().error_dialog(trouble_text(trouble).c_str());
}

void gtk2_call_ipc(uint8_t type, const char *cmd)
{
    if (type != ipc_to_service)
        return;
    if (msg_send(cmd) < 0) {
        tell_trouble();
        return;
    }
    // A stopped service leaves the request in its queue: say so once it has
    // waited too long.
    g_timeout_add(std::chrono::milliseconds(service_patience).count() + 100, [](gpointer) -> gboolean {
        tell_trouble();
        return G_SOURCE_REMOVE;
    }, nullptr);
}

// --- Base Functions panel ----------------------------------------------------

bool bit_check(uint8_t mp, uint8_t bit)
{
    return (mp & bit) == bit;
}

// " " and the dotted quad: at most 16 characters.
void address_text(char (&text)[17])
{
    in_addr addr{};
    addr.s_addr = static_cast<in_addr_t>(ip_get());
    snprintf(text, sizeof(text), " %s", inet_ntoa(addr));
}

GtkWidget *gtk2_create_imageAtext_box(uint8_t num, GtkWidget *, const char *text, const char *img)
{
    g2modules.imgs[num] = gtk_image_new_from_file(img);
    gchar *utf8 = g_locale_to_utf8(text, -1, nullptr, nullptr, nullptr);
    g2modules.labels[num] = gtk_label_new(utf8 ? utf8 : text);
    g_free(utf8);
    GtkWidget *box = gtk_hbox_new(FALSE, 0);
    gtk_container_set_border_width(GTK_CONTAINER(box), 2);
    gtk_box_pack_start(GTK_BOX(box), g2modules.imgs[num], FALSE, FALSE, 3);
    gtk_box_pack_start(GTK_BOX(box), g2modules.labels[num], FALSE, FALSE, 4);
    return box;
}

void gtk2_reset_btn(GtkWidget *gtk_label, GtkWidget *gtk_image, const char *text, const char *img)
{
    gtk_label_set_text(GTK_LABEL(gtk_label), text);
    gtk_image_set_from_file(GTK_IMAGE(gtk_image), img);
}

void gtk2_create_notebook_tabs(GtkWidget *window, uint8_t type);

GtkWidget *gtk2_create_base_box()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create base box\n");
    GtkWidget *base = gtk_hbox_new(FALSE, 0);
    GtkWidget *column = gtk_vbox_new(FALSE, 0);
    gtk_widget_set_size_request(column, 300, 500);
    gtk_container_add(GTK_CONTAINER(base), column);

    char address[17];
    address_text(address);
    for (int i = 0; i < base_btn_count; i++) {
        g2modules.base_btns[i] = gtk_button_new();
        const char *text = i == address_btn ? address : base_btn_labels[i];
        GtkWidget *content = gtk2_create_imageAtext_box(static_cast<uint8_t>(i), nullptr, text, base_btn_imgs[i]);
        gtk_container_add(GTK_CONTAINER(g2modules.base_btns[i]), content);
        gtk_box_pack_start(GTK_BOX(column), g2modules.base_btns[i], TRUE, TRUE, 0);
    }
    gtk2_create_notebook_tabs(base, tabs_sysrq);
    // The SysRq pages keep the width their longest label needs, so that no
    // label is cut at the window's size: the column gives way, its texts are
    // short.
    GList *parts = gtk_container_get_children(GTK_CONTAINER(base));
    gtk_box_set_child_packing(GTK_BOX(base), GTK_WIDGET(g_list_last(parts)->data), FALSE, TRUE, 0, GTK_PACK_START);
    g_list_free(parts);
    return base;
}

void gtk2_btn_clicked(GtkWidget *, gpointer data)
{
    const char *msg = static_cast<const char *>(data);
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to handle button clicked event with msg: %s\n", msg);
    if (std::string_view(msg) == ".") {
        char address[17];
        address_text(address);
        gtk2_reset_btn(g2modules.labels[address_btn], g2modules.imgs[address_btn], address, paths::icon_wifi);
        return;
    }
    gtk2_call_ipc(ipc_to_service, msg);
}

// Runs on the main loop: the only thread that may touch widgets.
gboolean gtk2_gui_apply_status(gpointer data)
{
    const uint8_t status = static_cast<uint8_t>(GPOINTER_TO_UINT(data));
    for (int i = 0; i < 3; i++) {
        const int entry = bit_check(status, feature_bits[i]) ? 2 * i : 2 * i + 1;
        gtk2_reset_btn(g2modules.labels[first_feature_btn + i], g2modules.imgs[first_feature_btn + i],
                       label_text[entry], img_path[entry]);
    }
    return G_SOURCE_REMOVE;
}

// Called on the receiver thread: hand the value to the main loop. Idle
// sources of one priority run in the order they were added, so values are
// applied in the order they arrived.
void gtk2_gui_update(int8_t data)
{
    g_idle_add(gtk2_gui_apply_status, GUINT_TO_POINTER(static_cast<uint8_t>(data)));
}

// Runs on the main loop, given a message of its own to show and free.
gboolean gtk2_gui_show_error(gpointer data)
{
    g2operate().error_dialog(static_cast<const char *>(data));
    g_free(data);
    return G_SOURCE_REMOVE;
}

// Called on the receiver thread when the service could not carry out the
// SysRq request cmd: the dialog opens on the main loop.
void gtk2_gui_sysrq_failed(const char *cmd)
{
    g_idle_add(gtk2_gui_show_error, g_strdup_printf("SysRq command %s failed in ostrivel service", cmd));
}

// --- SysRq pages -------------------------------------------------------------

GtkWidget *gtk2_create_sysrq_btns(uint8_t base, uint8_t count, const char *const *labels)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create sysrq buttons\n");
    GtkWidget *box = gtk_vbox_new(TRUE, 0);
    for (int i = base; i < base + count; i++) {
        g2modules.sysrq_btns[i] = gtk_button_new_with_label(labels[i - base]);
        gtk_button_set_alignment(GTK_BUTTON(g2modules.sysrq_btns[i]), 0.0, 0.5);
        gtk_box_pack_start(GTK_BOX(box), g2modules.sysrq_btns[i], TRUE, TRUE, 0);
    }
    return box;
}

GtkWidget *gtk2_create_sysrq_debug_tab()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create sysrq debug buttons\n");
    return gtk2_create_sysrq_btns(0, std::size(sysrqdbg_labels), sysrqdbg_labels);
}

GtkWidget *gtk2_create_sysrq_system_tab()
{
    return gtk2_create_sysrq_btns(12, std::size(sysrqsys_labels), sysrqsys_labels);
}

GtkWidget *gtk2_create_sysrq_log_tab()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create sysrq log buttons\n");
    return gtk2_create_sysrq_btns(25, std::size(sysrqlog_labels), sysrqlog_labels);
}

// --- process explorer page ---------------------------------------------------

struct gchar_free {
    void operator()(gchar *text) const { g_free(text); }
};

// One update of the list between prepare2_flush_clist and
// finish_flush_clist, in place: the store's listing comes in its order and a
// cursor walks the rows shown alongside it. While each listed process is the
// row at the cursor nothing moves. At the first one out of step, the rows not
// yet met are looked up by pid instead, new rows are appended, and GtkCList's
// own sort puts the rows in the listing's order at the finish. Either way the
// rows of ended processes end up last, and go. A row's data is its place in
// the listing, from 1; 0: not listed in this update.
struct list_update {
    bool open = false;
    GList *cursor = nullptr; // the first row not yet met, while in order
    bool reorder = false;
    // The rows not yet met, once out of order, by the pid they show. Their
    // texts stay while they are listed.
    std::unordered_map<std::string_view, GtkCListRow *> rest;
    gsize listed = 0;
    gdouble vscroll = 0, hscroll = 0;
    // The list was refilled, or columns changed their width, or the rows in
    // sight are others or elsewhere: the thaw draws the view anew. Otherwise
    // rows came, went or moved out of sight only, and just the cells set that
    // are in sight are drawn. Their memory is kept from one update to the next.
    bool redraw_all = false;
    std::vector<GtkCListRow *> in_sight;
    struct cell {
        GtkCListRow *row;
        int column;
    };
    std::vector<cell> set;
};

list_update upd;

// Column widths that follow the cells. Measuring every cell with Pango costs
// a layout per cell, tens of thousands per refresh; instead a cell's width is
// estimated as the sum of its characters' advances, each ASCII character
// measured once (a text with other characters is measured whole). Shaping
// (kerning, ligatures) mostly narrows a text, so the widest estimate of a
// column is its widest cell; that text is measured whole as well, and the
// column gets the larger of the two.
struct column_fit {
    int widest = 0;    // Pango units
    int count = 0;     // cells that wide; none left: look again at the finish
    std::string text;  // one of them
    int measured = -1; // text measured whole; -1: not yet
};

struct list_fit {
    std::array<column_fit, pe_columns> columns;
    std::array<bool, pe_columns> user_sized{}; // resized by hand: the user's width is kept
    std::array<int, 128> ascii{}; // advances; 0: not measured yet
    std::array<int, pe_columns> title{}; // what each title needs; 0: not measured yet
    std::unique_ptr<PangoLayout, gobject_unref> layout;
    bool fitting = false; // the widths being set are the view's, not the user's
};

list_fit fit;

const char *cell_text(const GtkCListRow *row, int column)
{
    const GtkCell &cell = row->cell[column];
    return cell.type == GTK_CELL_TEXT ? GTK_CELL_TEXT(cell)->text : nullptr;
}

int text_width(const char *text, int len = -1)
{
    if (!fit.layout)
        fit.layout.reset(gtk_widget_create_pango_layout(g2modules.clist, nullptr));
    pango_layout_set_text(fit.layout.get(), text, len);
    int w = 0, h = 0;
    pango_layout_get_size(fit.layout.get(), &w, &h);
    return w;
}

int estimated_width(const char *text)
{
    int width = 0;
    for (const char *p = text; *p; p++) {
        const auto c = static_cast<unsigned char>(*p);
        if (c >= fit.ascii.size())
            return text_width(text);
        int &w = fit.ascii[c];
        if (w == 0)
            w = std::max(1, text_width(p, 1));
        width += w;
    }
    return width;
}

// A cell of the column shows text.
void note_shown(column_fit &c, const char *text)
{
    const int width = estimated_width(text);
    if (width == c.widest)
        c.count++;
    else if (width > c.widest)
        c = {width, 1, text, -1};
}

// A cell of the column that showed text changes or goes.
void note_gone(column_fit &c, const char *text)
{
    if (c.count > 0 && estimated_width(text) == c.widest)
        c.count--;
}

// A new font measures anew.
void gtk2_clist_style_set(GtkWidget *, GtkStyle *, gpointer)
{
    fit.ascii.fill(0);
    fit.title.fill(0);
    fit.layout.reset();
    for (column_fit &c : fit.columns) {
        c.widest = INT_MAX; // as wide as no cell: each column looks again
        c.count = 0;
    }
}

void gtk2_clist_resize_column(GtkCList *, gint column, gint, gpointer)
{
    if (!fit.fitting && column >= 0 && column < pe_columns)
        fit.user_sized[column] = true;
}

// A column whose widest cells all went looks for its widest among the rest.
void refit_widest(GtkCList *clist)
{
    for (int i = 0; i < pe_columns; i++) {
        column_fit &c = fit.columns[i];
        if (c.count > 0)
            continue;
        c = {};
        for (GList *link = clist->row_list; link; link = link->next)
            if (const char *text = cell_text(GTK_CLIST_ROW(link), i))
                note_shown(c, text);
    }
}

constexpr int cell_spacing = 1; // GtkCList's, above each row and beside each cell

// What its title needs, as GtkCList itself reckons it.
int title_width(GtkCList *clist, int column)
{
    constexpr int column_inset = 3;
    GtkRequisition req;
    gtk_widget_size_request(clist->column[column].button, &req);
    return req.width - (column_inset + cell_spacing);
}

// True when a column's width changed.
bool fit_columns(GtkCList *clist)
{
    bool changed = false;
    fit.fitting = true;
    for (int i = 0; i < pe_columns; i++) {
        column_fit &c = fit.columns[i];
        if (fit.user_sized[i])
            continue;
        if (c.measured < 0)
            c.measured = text_width(c.text.c_str());
        int width = PANGO_PIXELS_CEIL(std::max(c.widest, c.measured));
        if (pe_list[i].cap > 0)
            width = std::min(width, pe_list[i].cap);
        if (fit.title[i] == 0)
            fit.title[i] = std::max(1, title_width(clist, i));
        width = std::max(width, fit.title[i]);
        if (clist->column[i].width != width) {
            gtk_clist_set_column_width(clist, i, width);
            changed = true;
        }
    }
    fit.fitting = false;
    return changed;
}

void scroll_back(GtkCList *clist)
{
    for (auto [adj, value] : {std::pair(gtk_clist_get_hadjustment(clist), upd.hscroll),
                              std::pair(gtk_clist_get_vadjustment(clist), upd.vscroll)}) {
        const gdouble top = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
        gtk_adjustment_set_value(adj, std::clamp(value, gtk_adjustment_get_lower(adj), std::max(top, 0.0)));
    }
}

// GtkCList freezes itself while unmapped, and the tab's first refresh runs
// before the tab is shown: its thaw leaves the scroll range as it was.
// Shown again, the list takes its rows' measure and its place.
void gtk2_clist_map(GtkWidget *clist, gpointer)
{
    GTK_CLIST_GET_CLASS(clist)->refresh(GTK_CLIST(clist));
    scroll_back(GTK_CLIST(clist));
}

// What the list keeps of each row beside its cells, as the row's data: its
// place in the listing, from 1 (0: not listed in this update), and its
// cells' texts as last formatted, one after another, so that a row whose
// texts all stay is passed over at one compare.
struct row_state {
    gsize place = 0;
    std::string texts;
};

row_state &state_of(const GtkCListRow *row)
{
    return *static_cast<row_state *>(row->data);
}

// The listing's order: rows not listed in this update (0) wrap round to last.
gint by_listing(GtkCList *, gconstpointer a, gconstpointer b)
{
    auto place = [](gconstpointer row) { return state_of(static_cast<const GtkCListRow *>(row)).place - 1; };
    return place(a) < place(b) ? -1 : place(a) > place(b);
}

GtkWidget *gtk2_create_pe_box()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create process explorer\n");
    GtkWidget *table = gtk_table_new(11, pe_columns, TRUE);
    gtk_widget_set_size_request(table, 800, 500);
    GtkWidget *scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_table_attach_defaults(GTK_TABLE(table), scrolled, 0, pe_columns, 0, 11);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    const char *titles[pe_columns];
    for (int i = 0; i < pe_columns; i++)
        titles[i] = pe_list[i].title;
    g2modules.clist = gtk_clist_new_with_titles(pe_columns, const_cast<gchar **>(titles));
    // The list scrolls itself: its titles stay in sight and only the rows
    // on screen are drawn.
    gtk_container_add(GTK_CONTAINER(scrolled), g2modules.clist);
    gtk_clist_set_column_justification(GTK_CLIST(g2modules.clist), 1, GTK_JUSTIFY_LEFT);
    gtk_clist_set_compare_func(GTK_CLIST(g2modules.clist), by_listing);
    g_signal_connect(g2modules.clist, "style-set", G_CALLBACK(gtk2_clist_style_set), nullptr);
    g_signal_connect(g2modules.clist, "resize-column", G_CALLBACK(gtk2_clist_resize_column), nullptr);
    g_signal_connect_after(g2modules.clist, "map", G_CALLBACK(gtk2_clist_map), nullptr);
    return table;
}

// A row's texts as the list shows them: bounded, and valid UTF-8 for Pango:
// names and command lines are bytes, not always UTF-8, and each invalid byte
// shows as U+FFFD. A text the list shows already is valid: only others are
// checked.
struct row_texts {
    explicit row_texts(const proc_info &p)
    {
        // Its memory is kept from one row to the next.
        static std::string all;
        all.clear();
        for (int i = 0; i < pe_columns; i++) {
            *(end[i] = put_cell(pe_list[i], p, raw[i])) = '\0';
            all.append(raw[i], end[i] + 1);
        }
        joined = all;
    }
    const char *shown_as(int i)
    {
        const auto len = static_cast<gssize>(end[i] - raw[i]);
        if (g_utf8_validate(raw[i], len, nullptr))
            return raw[i];
        valid[i].reset(g_utf8_make_valid(raw[i], len));
        return valid[i].get();
    }
    char raw[pe_columns][affinity_bound];
    char *end[pe_columns];
    std::string_view joined; // every raw text with its NUL
    std::unique_ptr<gchar, gchar_free> valid[pe_columns];
};

// Only the cells whose text changed are written, and measured.
void update_row(GtkCList *clist, GtkCListRow *row, row_texts &t)
{
    row_state &state = state_of(row);
    if (state.texts == t.joined)
        return;
    state.texts = t.joined;
    for (int i = 0; i < pe_columns; i++) {
        const char *shown = cell_text(row, i);
        if (shown && strcmp(shown, t.raw[i]) == 0)
            continue;
        const char *text = t.shown_as(i);
        if (shown && strcmp(shown, text) == 0)
            continue;
        column_fit &c = fit.columns[i];
        if (shown)
            note_gone(c, shown);
        // GtkCList's own cell setter on the row in hand, frozen:
        // gtk_clist_set_text would first walk the list down to the row's
        // index, and then do just this.
        GTK_CLIST_GET_CLASS(clist)->set_cell_contents(clist, row, i, GTK_CELL_TEXT, text, 0, nullptr, nullptr);
        note_shown(c, text);
        upd.set.push_back({row, i});
    }
}

GtkCListRow *add_row(GtkCList *clist, row_texts &t)
{
    const char *texts[pe_columns];
    for (int i = 0; i < pe_columns; i++)
        note_shown(fit.columns[i], texts[i] = t.shown_as(i));
    gtk_clist_append(clist, const_cast<gchar **>(texts));
    GtkCListRow *row = GTK_CLIST_ROW(clist->row_list_end);
    // GtkCList frees a row's data with the row.
    row->data = new row_state{.place = 0, .texts = std::string(t.joined)};
    row->destroy = [](gpointer state) { delete static_cast<row_state *>(state); };
    return row;
}

// The row shown for the listed process, by the pid it shows, if there is one.
GtkCListRow *row_for(GtkCList *clist, const char *pid)
{
    if (!upd.reorder) {
        if (!upd.cursor)
            return nullptr; // past the rows shown: a new row goes last, in order
        GtkCListRow *row = GTK_CLIST_ROW(upd.cursor);
        if (const char *shown = cell_text(row, 0); shown && strcmp(shown, pid) == 0) {
            upd.cursor = upd.cursor->next;
            return row;
        }
        upd.reorder = true;
        upd.rest.reserve(static_cast<size_t>(clist->rows));
        for (GList *link = upd.cursor; link; link = link->next) {
            row = GTK_CLIST_ROW(link);
            state_of(row).place = 0;
            if (const char *shown = cell_text(row, 0))
                upd.rest.emplace(shown, row);
        }
    }
    const auto it = upd.rest.find(pid);
    if (it == upd.rest.end())
        return nullptr;
    GtkCListRow *row = it->second;
    upd.rest.erase(it);
    return row;
}

// GtkCList's sort keeps the selection on its rows, not the focus.
void sort_rows(GtkCList *clist)
{
    const gpointer focused = clist->focus_row >= 0 ? g_list_nth_data(clist->row_list, clist->focus_row) : nullptr;
    gtk_clist_sort(clist);
    if (focused)
        clist->focus_row = g_list_index(clist->row_list, focused); // no call sets it
}

// The rows GtkCList's window shows, first to last, as GtkCList reckons them.
void rows_in_sight(GtkCList *clist, std::vector<GtkCListRow *> &rows)
{
    rows.clear();
    const int step = clist->row_height + cell_spacing;
    if (clist->row_height <= 0 || clist->rows == 0)
        return;
    const int first = std::max(0, -clist->voffset / step);
    const int last = std::min(clist->rows - 1, (clist->clist_window_height - clist->voffset) / step);
    GList *link = g_list_nth(clist->row_list, static_cast<guint>(first));
    for (int i = first; i <= last && link; i++, link = link->next)
        rows.push_back(GTK_CLIST_ROW(link));
}

void prepare2_flush_clist(GtkWidget *clist)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to flush clist\n");
    GtkCList *list = GTK_CLIST(clist);
    upd.vscroll = gtk_adjustment_get_value(gtk_clist_get_vadjustment(list));
    upd.hscroll = gtk_adjustment_get_value(gtk_clist_get_hadjustment(list));
    // GtkCList does not sort its rows while it holds the pointer (a button
    // held down on a row): that update refills the list instead.
    if (gtk_widget_has_grab(clist) && gdk_display_pointer_is_grabbed(gtk_widget_get_display(clist)))
        gtk_clist_clear(list);
    if (list->rows == 0)
        fit.columns = {};
    if (!upd.open)
        gtk_clist_freeze(list);
    upd.open = true;
    upd.cursor = list->row_list;
    upd.reorder = false;
    upd.rest.clear();
    upd.listed = 0;
    upd.redraw_all = list->rows == 0;
    upd.set.clear();
    rows_in_sight(list, upd.in_sight);
}

// Unfreezes the list without drawing it, gives its scroll bar the list's
// new height, then draws the cells set that are in sight: a row drawn with
// an area draws only the cells it meets. Every row listed is where the
// listing put it.
void thaw_set_cells(GtkCList *clist)
{
    if (clist->freeze_count > 0)
        clist->freeze_count--;
    GtkAdjustment *v = gtk_clist_get_vadjustment(clist);
    const gdouble height = clist->row_height * clist->rows + (clist->rows + 1) * cell_spacing;
    if (gtk_adjustment_get_upper(v) != height)
        gtk_adjustment_set_upper(v, height);
    if (clist->freeze_count > 0 || !gtk_widget_is_drawable(GTK_WIDGET(clist)))
        return;
    for (const list_update::cell &c : upd.set) {
        const int index = static_cast<int>(state_of(c.row).place) - 1;
        const GtkCListColumn &column = clist->column[c.column];
        GdkRectangle area = {.x = column.area.x + clist->hoffset,
                             .y = clist->row_height * index + (index + 1) * cell_spacing + clist->voffset,
                             .width = column.area.width,
                             .height = clist->row_height};
        if (area.y + area.height > 0 && area.y < clist->clist_window_height && area.x + area.width > 0 &&
            area.x < clist->clist_window_width)
            GTK_CLIST_GET_CLASS(clist)->draw_row(clist, &area, index, c.row);
    }
}

void finish_flush_clist(GtkWidget *clist)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 finish to flush clist\n");
    GtkCList *list = GTK_CLIST(clist);
    if (upd.open) {
        if (upd.reorder)
            sort_rows(list);
        upd.rest.clear();
        // The rows not listed are last; the last row is at hand.
        while (list->rows > static_cast<gint>(upd.listed)) {
            for (int i = 0; i < pe_columns; i++)
                if (const char *shown = cell_text(GTK_CLIST_ROW(list->row_list_end), i))
                    note_gone(fit.columns[i], shown);
            gtk_clist_remove(list, list->rows - 1);
        }
    }
    refit_widest(list);
    upd.redraw_all |= fit_columns(list);
    // Each row removed above the view shifted GtkCList's offset while frozen,
    // and the thaw would take that for a list that no longer fits the view
    // and jump to its end: the thaw draws the view once, in its place.
    list->voffset = -static_cast<gint>(gtk_adjustment_get_value(gtk_clist_get_vadjustment(list)));
    if (upd.open && !upd.redraw_all) {
        // Its memory is kept from one update to the next.
        static std::vector<GtkCListRow *> now;
        rows_in_sight(list, now);
        if (now == upd.in_sight) {
            thaw_set_cells(list);
            upd.open = false;
            return;
        }
    }
    if (upd.open)
        gtk_clist_thaw(list);
    upd.open = false;
    scroll_back(list);
}

void gtk2_timer_remove()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to remove timer\n");
    if (g2modules.timerid > 0) {
        g_source_remove(static_cast<guint>(g2modules.timerid));
        g2modules.timerid = -1;
    }
    // The files refreshes keep open are of no use until the tab is back.
    proc_list_release();
}

void gtk2_flush_proc_list()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to flush process list\n");
    g2operate().prepare2_flush_clist(g2modules.clist);
    const int8_t result = proc_list_flush(db_operate);
    const uint8_t column = psort.sort_type_id;
    const bool found = db_operate.quillmar_db_query(0, psort.sort_type_status[column], sort_name(column));
    g2operate().finish_flush_clist(g2modules.clist);
    if (!found)
        g2operate().error_dialog("No Data");
    else if (result != 0)
        g2operate().error_dialog("Some results are problematic");
}

gboolean proc_info_update(gpointer)
{
    gtk2_flush_proc_list();
    return G_SOURCE_CONTINUE;
}

void gtk2_notebook_handle_switch_page(GtkNotebook *, gpointer, guint page_num, gpointer)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to switch page with page num %d\n", page_num + 1);
    if (page_num != process_explorer_page) {
        gtk2_timer_remove();
        return;
    }
    if (g2modules.dbstat != 0) {
        g2operate().error_dialog("Process Explorer does not work, db error");
        return;
    }
    gtk2_flush_proc_list();
    // Started only once the first refresh (and any dialog of it) is over.
    g2modules.timerid = static_cast<int32_t>(g_timeout_add(refresh_interval_ms, proc_info_update, nullptr));
}

void gtk2_col_clicked(GtkCList *, gint column, gpointer)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to sort process info by col %d\n", column);
    if (column < 0 || column >= pe_columns)
        return;
    psort.sort_type_id = static_cast<uint8_t>(column);
    psort.sort_type_status[column] = !psort.sort_type_status[column];
    g2operate().prepare2_flush_clist(g2modules.clist);
    db_operate.quillmar_db_query(0, psort.sort_type_status[column], sort_name(column));
    g2operate().finish_flush_clist(g2modules.clist);
}

// --- process explorer: a row's menu ------------------------------------------

// End and Kill ask first; every item acts on the process of the row the menu
// was opened on, through proc_action, as the user who runs the assistant.
struct row_action {
    const char *label; // the menu item's and the confirmation's button
    const char *verb;  // in what the dialogs say
    int signo;
    const char *confirm; // the question, given the pid and the name; or none
};

constexpr row_action row_actions[] = {
    {"_End Process", "end", SIGTERM, "End process %d (%s)?\n\nIt is asked to end (SIGTERM) and may save its work first."},
    {"_Kill Process", "kill", SIGKILL,
     "Kill process %d (%s)?\n\nIt ends at once (SIGKILL): what it has not saved is lost."},
    {"_Stop", "stop", SIGSTOP, nullptr},
    {"_Continue", "continue", SIGCONT, nullptr},
};
constexpr const row_action &end_action = row_actions[0];

// The levels lxtask offers, as nice values.
struct priority_level {
    const char *label;
    int nice;
};

constexpr priority_level priority_levels[] = {
    {"_Very High (-15)", -15}, {"_High (-5)", -5}, {"_Normal (0)", 0}, {"_Low (5)", 5}, {"Very Lo_w (15)", 15},
};
constexpr row_action priority_action = {"_Priority", "change the priority of", 0, nullptr};

// The row the menu was opened on, as it was shown then.
struct chosen_row {
    pid_t pid = -1;
    std::string name;
    int nice = 0;
};

struct row_menu_state {
    GtkWidget *menu = nullptr;
    GtkWidget *levels[std::size(priority_levels)] = {};
    chosen_row row;
    // The last action's process, until the list shows what it did.
    proc_target settling;
    int settle_signo = 0;
    int settle_ticks = 0;
    guint settle_source = 0;
};

row_menu_state rowmenu;

constexpr guint settle_tick_ms = 20;
constexpr int settle_ticks = 50; // a second at most

bool choose_selected_row()
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    if (!clist->selection)
        return false;
    const GtkCListRow *row =
        GTK_CLIST_ROW(g_list_nth(clist->row_list, static_cast<guint>(GPOINTER_TO_INT(clist->selection->data))));
    const char *pid = row ? cell_text(row, 0) : nullptr;
    const char *name = row ? cell_text(row, 10) : nullptr;
    const char *nice = row ? cell_text(row, 2) : nullptr;
    if (!pid || !name || !nice)
        return false;
    rowmenu.row = {static_cast<pid_t>(atol(pid)), name, atoi(nice)};
    return rowmenu.row.pid > 0;
}

gboolean settle_tick(gpointer)
{
    if (!proc_target_settled(rowmenu.settling, rowmenu.settle_signo) && --rowmenu.settle_ticks > 0)
        return G_SOURCE_CONTINUE;
    rowmenu.settle_source = 0;
    rowmenu.settling = {};
    // Only while the list is shown: its timer runs then.
    if (g2modules.timerid > 0)
        gtk2_flush_proc_list();
    return G_SOURCE_REMOVE;
}

// The list follows an action once the process shows it, without waiting for
// the timer.
void settle(proc_target &&t, int signo)
{
    if (rowmenu.settle_source)
        g_source_remove(rowmenu.settle_source);
    rowmenu.settling = std::move(t);
    rowmenu.settle_signo = signo;
    rowmenu.settle_ticks = settle_ticks;
    rowmenu.settle_source = g_timeout_add(settle_tick_ms, settle_tick, nullptr);
}

void tell(proc_outcome outcome, const row_action &a, const proc_target &t)
{
    const chosen_row &r = rowmenu.row;
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 could not %s process %d: outcome %d, errno %d\n", a.verb, r.pid,
             static_cast<int>(outcome), t.error);
    char msg[512];
    switch (outcome) {
    case proc_outcome::done: return;
    case proc_outcome::gone:
        snprintf(msg, sizeof(msg), "Process %d (%s) has ended: nothing was done.", r.pid, r.name.c_str());
        return g2operate().info_dialog(msg);
    case proc_outcome::replaced:
        snprintf(msg, sizeof(msg),
                 "Process %d (%s) has ended, and its pid now belongs to another program (%s): nothing was done.",
                 r.pid, r.name.c_str(), t.name.c_str());
        return g2operate().info_dialog(msg);
    case proc_outcome::not_owner:
        snprintf(msg, sizeof(msg), "Not permitted: process %d belongs to another user", r.pid);
        break;
    case proc_outcome::needs_root:
        snprintf(msg, sizeof(msg), "Not permitted: a higher priority for process %d needs root", r.pid);
        break;
    case proc_outcome::failed:
        snprintf(msg, sizeof(msg), "Could not %s process %d (%s): %s", a.verb, r.pid, r.name.c_str(),
                 g_strerror(t.error));
        break;
    }
    g2operate().error_dialog(msg);
}

// The action on the chosen row's process: signo, or the nice value for a
// priority.
void act(const row_action &a, int nice)
{
    const chosen_row &r = rowmenu.row;
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to %s process %d\n", a.verb, r.pid);
    proc_target t;
    proc_outcome outcome = proc_target_open(r.pid, r.name, t);
    if (outcome == proc_outcome::done && a.confirm) {
        // The process as it is now, which the pidfd holds from here on.
        char question[512];
        snprintf(question, sizeof(question), a.confirm, r.pid, t.name.c_str());
        if (!g2operate().confirm_dialog(question, a.label))
            return;
    }
    if (outcome == proc_outcome::done)
        outcome = a.signo ? proc_target_signal(t, a.signo) : proc_target_renice(t, nice);
    if (outcome == proc_outcome::done)
        settle(std::move(t), a.signo);
    else
        tell(outcome, a, t);
}

void row_action_activate(GtkMenuItem *, gpointer data)
{
    act(*static_cast<const row_action *>(data), 0);
}

void priority_activate(GtkCheckMenuItem *item, gpointer data)
{
    // Marking the current level activates its item too: only a choice acts.
    if (gtk_check_menu_item_get_active(item))
        act(priority_action, static_cast<const priority_level *>(data)->nice);
}

// Below the chosen row when the keyboard opened the menu.
void place_below_row(GtkMenu *, gint *x, gint *y, gboolean *push_in, gpointer)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    const gint row = clist->selection ? GPOINTER_TO_INT(clist->selection->data) : 0;
    gdk_window_get_origin(clist->clist_window, x, y);
    *y += (clist->row_height + 1) * (row + 1) + clist->voffset;
    *push_in = TRUE;
}

GtkWidget *row_menu()
{
    if (rowmenu.menu)
        return rowmenu.menu;
    rowmenu.menu = gtk_menu_new();
    GtkMenuShell *shell = GTK_MENU_SHELL(rowmenu.menu);
    for (const row_action &a : row_actions) {
        GtkWidget *item = gtk_menu_item_new_with_mnemonic(a.label);
        g_signal_connect(item, "activate", G_CALLBACK(row_action_activate), const_cast<row_action *>(&a));
        gtk_menu_shell_append(shell, item);
    }
    gtk_menu_shell_append(shell, gtk_separator_menu_item_new());
    GtkWidget *levels = gtk_menu_new();
    for (size_t i = 0; i < std::size(priority_levels); i++) {
        rowmenu.levels[i] = gtk_check_menu_item_new_with_mnemonic(priority_levels[i].label);
        gtk_check_menu_item_set_draw_as_radio(GTK_CHECK_MENU_ITEM(rowmenu.levels[i]), TRUE);
        g_signal_connect(rowmenu.levels[i], "toggled", G_CALLBACK(priority_activate),
                         const_cast<priority_level *>(&priority_levels[i]));
        gtk_menu_shell_append(GTK_MENU_SHELL(levels), rowmenu.levels[i]);
    }
    GtkWidget *priority = gtk_menu_item_new_with_mnemonic(priority_action.label);
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(priority), levels);
    gtk_menu_shell_append(shell, priority);
    gtk_widget_show_all(rowmenu.menu);
    gtk_menu_attach_to_widget(GTK_MENU(rowmenu.menu), g2modules.clist, nullptr);
    return rowmenu.menu;
}

void popup_row_menu(guint button, guint32 time, GtkMenuPositionFunc place)
{
    if (!choose_selected_row())
        return;
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to open the menu of process %d\n", rowmenu.row.pid);
    GtkWidget *menu = row_menu();
    for (size_t i = 0; i < std::size(priority_levels); i++) {
        GtkCheckMenuItem *level = GTK_CHECK_MENU_ITEM(rowmenu.levels[i]);
        g_signal_handlers_block_matched(level, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                        reinterpret_cast<gpointer>(priority_activate), nullptr);
        gtk_check_menu_item_set_active(level, priority_levels[i].nice == rowmenu.row.nice);
        g_signal_handlers_unblock_matched(level, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                          reinterpret_cast<gpointer>(priority_activate), nullptr);
    }
    gtk_menu_popup(GTK_MENU(menu), nullptr, nullptr, place, nullptr, button, time);
}

gboolean gtk2_clist_button_press(GtkWidget *widget, GdkEventButton *event, gpointer)
{
    GtkCList *clist = GTK_CLIST(widget);
    gint row = -1, column = -1;
    if (event->type != GDK_BUTTON_PRESS || event->button != 3 || event->window != clist->clist_window ||
        !gtk_clist_get_selection_info(clist, static_cast<gint>(event->x), static_cast<gint>(event->y), &row, &column))
        return FALSE;
    gtk_widget_grab_focus(widget);
    gtk_clist_select_row(clist, row, -1);
    popup_row_menu(event->button, event->time, nullptr);
    return TRUE;
}

// Shift+F10 and the Menu key.
gboolean gtk2_clist_popup_menu(GtkWidget *, gpointer)
{
    popup_row_menu(0, gtk_get_current_event_time(), place_below_row);
    return TRUE;
}

gboolean gtk2_clist_key_press(GtkWidget *, GdkEventKey *event, gpointer)
{
    if ((event->keyval != GDK_Delete && event->keyval != GDK_KP_Delete) || !choose_selected_row())
        return FALSE;
    act(end_action, 0);
    return TRUE;
}

// --- frame -------------------------------------------------------------------

GdkPixbuf *gtk2_create_pixbuf(const char *fpath)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create pixbuf\n");
    GError *error = nullptr;
    GdkPixbuf *pixbuf = gdk_pixbuf_new_from_file(fpath, &error);
    if (pixbuf)
        return pixbuf;
    vskprint(LOG_LEVEL_ERROR, __func__, "%s\n", error->message);
    g_error_free(error);
    program_clean_up(exit_icon_failed);
    abort(); // the exit path does not return
}

void gtk2_create_main_window()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create window\n");
    GtkWidget *window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    gtk_widget_set_size_request(window, 800, 500);
    char title[28];
    snprintf(title, sizeof(title), "%s [v%d.%d]", "Vask-Assistant", quillmar_version_major, quillmar_version_minor);
    gtk_window_set_title(GTK_WINDOW(window), title);
    pixbuf_ref icon(gtk2_create_pixbuf(paths::icon_quillmar));
    gtk_window_set_icon(GTK_WINDOW(window), icon.get());
    g2modules.window = window;
}

GtkWidget *gtk2_create_notebook_window(GtkWidget *window, GtkPositionType pos)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create notebook's window\n");
    GtkWidget *notebook = gtk_notebook_new();
    gtk_container_add(GTK_CONTAINER(window), notebook);
    gtk_notebook_set_tab_pos(GTK_NOTEBOOK(notebook), pos);
    gtk_notebook_set_scrollable(GTK_NOTEBOOK(notebook), TRUE);
    return notebook;
}

GtkWidget *gtk2_create_notebook_tab(GtkWidget *notebook, uint8_t flag, const char *name)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create tab %s\n", name);
    GtkWidget *box = nullptr;
    switch (flag) {
    case tab_base: box = gtk2_create_base_box(); break;
    case tab_process_explorer: box = gtk2_create_pe_box(); break;
    case tab_sysrq_debug: box = gtk2_create_sysrq_debug_tab(); break;
    case tab_sysrq_system: box = gtk2_create_sysrq_system_tab(); break;
    case tab_sysrq_log: box = gtk2_create_sysrq_log_tab(); break;
    default: return notebook;
    }
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), box, gtk_label_new(name));
    return notebook;
}

void gtk2_create_notebook_tabs(GtkWidget *window, uint8_t type)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create notebook's tabs\n");
    GtkWidget *notebook = gtk2_create_notebook_window(window, GTK_POS_TOP);
    if (type == tabs_top) {
        gtk2_create_notebook_tab(notebook, tab_base, "Base Functions");
        gtk2_create_notebook_tab(notebook, tab_process_explorer, "Process Explorer");
        g2modules.notebook = notebook;
    } else if (type == tabs_sysrq) {
        gtk2_create_notebook_tab(notebook, tab_sysrq_debug, "Debugging Functions");
        gtk2_create_notebook_tab(notebook, tab_sysrq_system, "System Functions");
        gtk2_create_notebook_tab(notebook, tab_sysrq_log, "Sysrq Log Level");
    }
}

void gtk2_create_window()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to create notebook\n");
    gtk_init(nullptr, nullptr);
    g2modules.timerid = -1;
    gtk2_create_main_window();
    gtk2_create_notebook_tabs(g2modules.window, tabs_top);
}

// The X server's time now: a window manager that guards the focus honours a
// request stamped later than the user's last action, not one stamped 0.
guint32 server_time()
{
    GtkWidget *invisible = gtk_invisible_new();
    gtk_widget_add_events(invisible, GDK_PROPERTY_CHANGE_MASK);
    gtk_widget_realize(invisible);
    const guint32 now = gdk_x11_get_server_time(invisible->window);
    gtk_widget_destroy(invisible);
    return now;
}

bool gtk2_show_running()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to show the running assistant\n");
    if (!gtk_init_check(nullptr, nullptr)) {
        vskprint(LOG_LEVEL_ERROR, __func__, "no display to show it on\n");
        return false;
    }
    GdkDisplay *display = gdk_display_get_default();
    const Atom selection = gdk_x11_get_xatom_by_name_for_display(display, running_selection);
    Window owner = None;
    for (int polls = owner_polls; (owner = XGetSelectionOwner(GDK_DISPLAY_XDISPLAY(display), selection)) == None &&
                                  polls > 0;
         polls--)
        g_usleep(owner_poll_us);
    if (GdkWindow *window = owner != None ? gdk_window_foreign_new_for_display(display, owner) : nullptr) {
        // _NET_ACTIVE_WINDOW to a window manager; without one, raised and
        // given the focus.
        gdk_window_focus(window, server_time());
        gdk_display_sync(display);
        g_object_unref(window);
        gdk_notify_startup_complete();
        vskprint(LOG_LEVEL_INFO, __func__, "its window was brought to the front\n");
        return true;
    }
    // Another user's, or on another display: this one cannot reach it.
    static constexpr dialog_kind kind = {"gtk2 prepare to create running dialog\n", GTK_MESSAGE_INFO, GTK_BUTTONS_OK,
                                         "Vask-Assistant"};
    gtk_window_set_default_icon_from_file(paths::icon_quillmar, nullptr);
    show_dialog(__func__, kind,
                "Vask-Assistant is already running on this board, on another display or for another user.\n\n"
                "Only one assistant can run at a time.");
    return false;
}

void gtk2_destroy(GtkWidget *, gpointer)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to destroy\n");
    gtk2_timer_remove();
    db_operate.quillmar_db_clean();
    gtk_main_quit();
    program_clean_up(exit_window_closed);
}

void gtk2_signal_handle()
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to capture and handle signal\n");
    g_signal_connect(g2modules.window, "destroy", G_CALLBACK(gtk2_destroy), nullptr);
    g_signal_connect(g2modules.notebook, "switch-page", G_CALLBACK(gtk2_notebook_handle_switch_page), nullptr);
    for (int i = 0; i < base_btn_count; i++)
        g_signal_connect(g2modules.base_btns[i], "clicked", G_CALLBACK(gtk2_btn_clicked),
                         const_cast<char *>(base_btns_msg[i]));
    for (int i = 0; i < sysrq_btn_count; i++)
        g_signal_connect(g2modules.sysrq_btns[i], "clicked", G_CALLBACK(gtk2_btn_clicked),
                         const_cast<char *>(sysrq_btns_msg[i]));
    g_signal_connect(g2modules.clist, "click_column", G_CALLBACK(gtk2_col_clicked), nullptr);
    g_signal_connect(g2modules.clist, "button-press-event", G_CALLBACK(gtk2_clist_button_press), nullptr);
    g_signal_connect(g2modules.clist, "popup-menu", G_CALLBACK(gtk2_clist_popup_menu), nullptr);
    g_signal_connect(g2modules.clist, "key-press-event", G_CALLBACK(gtk2_clist_key_press), nullptr);
}

void gtk2_gui_run(int64_t dbstat)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to run gui\n");
    gtk2_call_ipc(ipc_to_service, "0");
    g2modules.dbstat = dbstat;
    gtk_widget_show_all(g2modules.window);
    // From now on a second start finds the window. The X server drops the
    // ownership with the process.
    gtk_selection_owner_set(g2modules.window, gdk_atom_intern_static_string(running_selection), GDK_CURRENT_TIME);
    gtk_main();
}

const gtk2_base_operate base_operate = {
    .info_dialog = show_info_dialog,
    .question_dialog = show_question_dialog,
    .warn_dialog = show_warn_dialog,
    .error_dialog = show_error_dialog,
    .confirm_dialog = show_confirm_dialog,
    .prepare2_flush_clist = prepare2_flush_clist,
    .finish_flush_clist = finish_flush_clist,
};

const quillmar_gui_operate gtk2_operate = {
    .quillmar_gui_create_window = gtk2_create_window,
    .quillmar_gui_signal_handle = gtk2_signal_handle,
    .quillmar_gui_run = gtk2_gui_run,
    .quillmar_gui_update = gtk2_gui_update,
    .quillmar_gui_sysrq_failed = gtk2_gui_sysrq_failed,
    .quillmar_gui_show_running = gtk2_show_running,
};

} // namespace

void gtk2_flush_clist(proc_info info)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    row_texts texts(info);
    GtkCListRow *row = upd.open ? row_for(clist, texts.shown_as(0)) : nullptr;
    if (row)
        update_row(clist, row, texts);
    else
        row = add_row(clist, texts);
    if (upd.open)
        state_of(row).place = ++upd.listed;
}

const gtk2_base_operate *gtk2_get_base_operate()
{
    return &base_operate;
}

quillmar_gui_operate gui_get_gtk2_operate(quillmar_db_operate tmp, quillmar_exit_fn clean_up)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gui get gtk2 method\n");
    db_operate = tmp;
    program_clean_up = clean_up;
    db_operate.quillmar_db_list_to(gtk2_flush_clist);
    return gtk2_operate;
}
