// The assistant's window on GTK2: the frame (window, notebooks, dialogs,
// requests to the service), the Base Functions panel, the three SysRq pages
// and the process explorer page.
#include "gui_gtk2.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ip.h"
#include "log.h"
#include "paths.h"
#include "process.h"
#include "version.h"
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

// Single precision, as the list has always shown them.
double percent(int64_t part, int64_t whole)
{
    return static_cast<double>(static_cast<float>(part) / static_cast<float>(whole) * 100.0f);
}

// What a cell is written from, and nothing else: a cell whose source did not
// change since it was written still shows the right text, and is left alone.
struct cell_source {
    int64_t number = 0;
    int64_t total = 0; // the machine total a share is taken of
    std::string_view text;
};

cell_source number_of(int64_t number)
{
    return {number, 0, {}};
}

cell_source share_of(int64_t part, int64_t whole)
{
    return {part, whole, {}};
}

template <size_t N>
std::string_view field_text(const char (&field)[N])
{
    return {field, strnlen(field, N)};
}

template <size_t N>
cell_source text_of(const char (&field)[N])
{
    return {0, 0, field_text(field)};
}

int as_number(const cell_source &s, char *t, size_t n)
{
    return snprintf(t, n, "%ld", static_cast<long>(s.number));
}

int as_letter(const cell_source &s, char *t, size_t n)
{
    return snprintf(t, n, "%c", static_cast<char>(s.number));
}

int as_share(const cell_source &s, char *t, size_t n)
{
    return snprintf(t, n, "%.2f", percent(s.number, s.total));
}

int as_text(const cell_source &s, char *t, size_t n)
{
    return snprintf(t, n, "%.*s", static_cast<int>(s.text.size()), s.text.data());
}

int as_affinity(const cell_source &s, char *t, size_t n)
{
    return snprintf(t, n, "0x%lx / %.*s", static_cast<unsigned long>(s.number), static_cast<int>(s.text.size()),
                    s.text.data());
}

// One row per column of the process list: its title, the store column it
// sorts by, what its cell is written from and how (into a buffer of `bound`
// bytes). Name and Cmdline stop growing at `cap` pixels; the user may widen
// them.
struct list_column {
    const char *title;
    proc_column sort;
    size_t bound;
    int cap;
    cell_source (*source)(const proc_info &p);
    int (*cell)(const cell_source &s, char *text, size_t size);
};

constexpr size_t cell_bound = 280;

constexpr list_column pe_list[] = {
    {"Pid", proc_column::Pid, cell_bound, 0, [](const proc_info &p) { return number_of(p.pid); }, as_number},
    {"Priority", proc_column::Pr, cell_bound, 0, [](const proc_info &p) { return number_of(p.priority); }, as_number},
    {"Nice", proc_column::Nice, cell_bound, 0, [](const proc_info &p) { return number_of(p.nice); }, as_number},
    {"S", proc_column::S, cell_bound, 0, [](const proc_info &p) { return number_of(p.state); }, as_letter},
    {"Virt KB", proc_column::Virt, cell_bound, 0, [](const proc_info &p) { return number_of(p.virt * 4); }, as_number},
    {"Res KB", proc_column::Res, cell_bound, 0, [](const proc_info &p) { return number_of(p.res * 4); }, as_number},
    {"Shr KB", proc_column::Shr, cell_bound, 0, [](const proc_info &p) { return number_of(p.shr * 4); }, as_number},
    {"CPU %", proc_column::CpuTime, cell_bound, 0,
     [](const proc_info &p) { return share_of(p.cputime, minfo.mtime); }, as_share},
    {"Mem %", proc_column::Res, cell_bound, 0,
     [](const proc_info &p) { return share_of(p.res * 4, minfo.memtotal); }, as_share},
    {"Time+", proc_column::Time, cell_bound, 0, [](const proc_info &p) { return text_of(p.time); }, as_text},
    {"Name", proc_column::Comm, cell_bound, 240, [](const proc_info &p) { return text_of(p.comm); }, as_text},
    {"Affinity / CPU List", proc_column::Affinity, 300, 0,
     [](const proc_info &p) { return cell_source{p.affinity, 0, field_text(p.cpulist)}; }, as_affinity},
    {"Min Fault", proc_column::MinFlt, cell_bound, 0, [](const proc_info &p) { return number_of(p.minflt); },
     as_number},
    {"CMin Fault", proc_column::CMinFlt, cell_bound, 0, [](const proc_info &p) { return number_of(p.cminflt); },
     as_number},
    {"Maj Fault", proc_column::MajFlt, cell_bound, 0, [](const proc_info &p) { return number_of(p.majflt); },
     as_number},
    {"CMaj Fault", proc_column::CMajFlt, cell_bound, 0, [](const proc_info &p) { return number_of(p.cmajflt); },
     as_number},
    {"Cmdline", proc_column::CmdLine, cell_bound, 480, [](const proc_info &p) { return text_of(p.cmdline); },
     as_text},
};
constexpr int pe_columns = static_cast<int>(std::size(pe_list));
static_assert(pe_columns == 17);
constexpr size_t cell_buffer = 300;
static_assert(std::ranges::all_of(pe_list, [](const list_column &c) { return c.bound <= cell_buffer; }));

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

proc_sort psort = {
    .sort_type_id = 0,
    .sort_type_status = {},
};

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

void show_dialog(const char *func, const dialog_kind &kind, const char *msg)
{
    vskprint(LOG_LEVEL_INFO, func, "%s", kind.log_line);
    GtkWidget *dialog = gtk_message_dialog_new(GTK_WINDOW(g2modules.window), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               kind.type, kind.buttons, "%s", msg);
    gtk_window_set_title(GTK_WINDOW(dialog), kind.title);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
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

// --- requests to the service -------------------------------------------------

void gtk2_call_ipc(uint8_t type, const char *cmd)
{
    if (type != ipc_to_service)
        return;
    if (msg_send(cmd) < 0)
        g2operate().error_dialog("IPC failure with ostrivel service");
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

// What the list keeps of each row beside its cells, as the row's data (the
// row owns it): the source each cell was written from, and the cell's width.
struct listed_cell {
    int64_t number = 0;
    int64_t total = 0;
    int width = 0;         // estimated, Pango units
    uint16_t text_len = 0; // of its source text, in the row's texts
};

struct listed_row {
    int64_t pid = 0;
    GtkCList *list = nullptr;
    GtkCListRow *row = nullptr; // GtkCList moves it between links, never frees it while listed
    uint64_t seen = 0;          // the update that listed it last
    uint64_t passed = 0;        // the update whose cursor went past it unlisted
    int rank = 0;               // its place in the listing of update `seen`
    std::array<listed_cell, pe_columns> cells;
    std::string texts; // the cells' source texts, one after the other
};

// Column widths that follow the cells. Measuring every cell with Pango costs
// a layout per cell, tens of thousands per refresh; instead each cell's
// width is estimated as the sum of its characters' advances, each character
// measured once, and only when the cell is written. Shaping (kerning,
// ligatures) mostly narrows a text, so the widest estimate of a column is its
// widest cell; that one text is measured whole as well, and the column gets
// the larger of the two.
struct column_fit {
    int widest = 0; // Pango units
    std::string widest_text;
    int widest_measured = -1; // widest_text measured whole; -1: not yet
    const listed_row *owner = nullptr;
    // The widest cell ended or narrowed: the column looks for its widest
    // again, among the widths its rows keep.
    bool stale = false;
    bool user_sized = false; // resized by hand: the user's width is kept
};

struct gchar_free {
    void operator()(gchar *text) const { g_free(text); }
};

struct gobject_layout_unref {
    void operator()(PangoLayout *layout) const { g_object_unref(layout); }
};

struct list_fit {
    std::array<column_fit, pe_columns> columns;
    std::array<int, 128> ascii{}; // advances; 0: not measured yet
    std::unordered_map<gunichar, int> other;
    std::unique_ptr<PangoLayout, gobject_layout_unref> layout;
    bool fitting = false;   // the widths being set are the view's, not the user's
    bool remeasure = false; // a new font: the next update measures every cell anew
    gdouble vscroll = 0, hscroll = 0;
};

list_fit fit;

// One update of the list between prepare2_flush_clist and
// finish_flush_clist. The listing comes in the store's order; a cursor walks
// the rows already shown alongside it, so that a process listed where it was
// costs no lookup. Rows before the cursor are the listing so far, in its
// order, unless `reorder` is set: then GtkCList's own sort puts the rows in
// the listing's order at the finish, in O(n log n).
struct list_update {
    bool open = false;
    uint64_t id = 0;
    GList *cursor = nullptr; // the first row not yet gone past
    int cursor_index = 0;    // rows before the cursor
    int listed = 0;          // rows listed so far
    bool reorder = false;
    std::vector<int> passed; // indices of rows gone past unlisted, ascending
    int inserts = 0;
    std::unordered_map<int64_t, listed_row *> by_pid;
};

list_update upd;

// How far past the cursor a listed row is looked for: farther, it counts as
// moved. Rows gone past are those of ended processes, or ones listed later.
constexpr int look_ahead = 8;
// Inserts and removals by index: each walks the list down to its row. Past
// this many in one update the rows are sorted into place instead.
constexpr size_t index_edits = 64;

listed_row *row_of(GList *link)
{
    return static_cast<listed_row *>(GTK_CLIST_ROW(link)->data);
}

const char *cell_text(GtkCListRow *row, int column)
{
    GtkCell &cell = row->cell[column];
    return cell.type == GTK_CELL_TEXT ? GTK_CELL_TEXT(cell)->text : nullptr;
}

// The row's destroy notify: a row is gone, through the list's removal or
// clearing alike.
void forget_row(gpointer data)
{
    auto *r = static_cast<listed_row *>(data);
    if (auto it = upd.by_pid.find(r->pid); it != upd.by_pid.end() && it->second == r)
        upd.by_pid.erase(it);
    for (column_fit &c : fit.columns)
        if (c.owner == r) {
            c.owner = nullptr;
            c.stale = true;
        }
    delete r;
}

PangoLayout *fit_layout()
{
    if (!fit.layout)
        fit.layout.reset(gtk_widget_create_pango_layout(g2modules.clist, nullptr));
    return fit.layout.get();
}

int text_width(const char *text, int len)
{
    PangoLayout *layout = fit_layout();
    pango_layout_set_text(layout, text, len);
    int w = 0, h = 0;
    pango_layout_get_size(layout, &w, &h);
    return w;
}

int advance(gunichar c, const char *at, int len)
{
    if (c < fit.ascii.size()) {
        int &w = fit.ascii[c];
        if (w == 0)
            w = std::max(1, text_width(at, len));
        return w;
    }
    auto [it, added] = fit.other.try_emplace(c, 0);
    if (added)
        it->second = std::max(1, text_width(at, len));
    return it->second;
}

// The text must be valid UTF-8.
int estimated_width(const char *text)
{
    int width = 0;
    for (const char *p = text; *p;) {
        const char *next = g_utf8_next_char(p);
        width += advance(g_utf8_get_char(p), p, static_cast<int>(next - p));
        p = next;
    }
    return width;
}

// A new font measures anew.
void gtk2_clist_style_set(GtkWidget *, GtkStyle *, gpointer)
{
    fit.ascii.fill(0);
    fit.other.clear();
    fit.layout.reset();
    fit.remeasure = true;
}

void gtk2_clist_resize_column(GtkCList *, gint column, gint, gpointer)
{
    if (!fit.fitting && column >= 0 && column < pe_columns)
        fit.columns[column].user_sized = true;
}

// A cell of row r in column i was written, or measured anew, with text.
void note_width(int i, listed_row &r, const char *text)
{
    const int width = estimated_width(text);
    r.cells[i].width = width;
    column_fit &c = fit.columns[i];
    if (width > c.widest || (c.owner == &r && width == c.widest)) {
        c.widest = width;
        c.owner = &r;
        c.widest_text = text;
        c.widest_measured = -1;
    } else if (c.owner == &r) {
        c.stale = true;
    }
}

// The widest cell of each stale column, from the widths the rows keep: no
// cell is measured again.
void refit_stale(GtkCList *clist)
{
    bool any = false;
    for (column_fit &c : fit.columns)
        if (c.stale) {
            c.widest = 0;
            c.owner = nullptr;
            any = true;
        }
    if (!any)
        return;
    for (GList *link = clist->row_list; link; link = link->next) {
        listed_row *r = row_of(link);
        if (!r)
            continue;
        for (int i = 0; i < pe_columns; i++) {
            column_fit &c = fit.columns[i];
            if (c.stale && r->cells[i].width > c.widest) {
                c.widest = r->cells[i].width;
                c.owner = r;
            }
        }
    }
    for (int i = 0; i < pe_columns; i++) {
        column_fit &c = fit.columns[i];
        if (!c.stale)
            continue;
        const char *text = c.owner ? cell_text(c.owner->row, i) : nullptr;
        c.widest_text = text ? text : "";
        c.widest_measured = -1;
        c.stale = false;
    }
}

// What its title needs, as GtkCList itself reckons it.
int title_width(GtkCList *clist, int column)
{
    constexpr int column_inset = 3, cell_spacing = 1;
    GtkRequisition req;
    gtk_widget_size_request(clist->column[column].button, &req);
    return req.width - (column_inset + cell_spacing);
}

void scroll_back(GtkAdjustment *adj, gdouble value)
{
    const gdouble top = gtk_adjustment_get_upper(adj) - gtk_adjustment_get_page_size(adj);
    gtk_adjustment_set_value(adj, std::clamp(value, gtk_adjustment_get_lower(adj), std::max(top, 0.0)));
}

void scroll_back(GtkCList *clist)
{
    scroll_back(gtk_clist_get_hadjustment(clist), fit.hscroll);
    scroll_back(gtk_clist_get_vadjustment(clist), fit.vscroll);
}

// GtkCList freezes itself while unmapped, and the tab's first refresh runs
// before the tab is shown: its thaw leaves the scroll range as it was.
// Shown again, the list takes its rows' measure and its place.
void gtk2_clist_map(GtkWidget *clist, gpointer)
{
    GTK_CLIST_GET_CLASS(clist)->refresh(GTK_CLIST(clist));
    scroll_back(GTK_CLIST(clist));
}

void fit_columns(GtkCList *clist)
{
    fit.fitting = true;
    for (int i = 0; i < pe_columns; i++) {
        column_fit &c = fit.columns[i];
        if (c.user_sized)
            continue;
        if (c.widest_measured < 0)
            c.widest_measured = text_width(c.widest_text.data(), static_cast<int>(c.widest_text.size()));
        int width = PANGO_PIXELS_CEIL(std::max(c.widest, c.widest_measured));
        if (pe_list[i].cap > 0)
            width = std::min(width, pe_list[i].cap);
        width = std::max(width, title_width(clist, i));
        if (clist->column[i].width != width)
            gtk_clist_set_column_width(clist, i, width);
    }
    fit.fitting = false;
}

// The listing's order: rows not listed in this update go last.
gint by_listing(GtkCList *, gconstpointer a, gconstpointer b)
{
    auto rank = [](gconstpointer row) {
        const auto *r = static_cast<const listed_row *>(static_cast<const GtkCListRow *>(row)->data);
        return r && r->seen == upd.id ? int64_t{r->rank} : INT64_MAX;
    };
    const int64_t x = rank(a), y = rank(b);
    return x < y ? -1 : x > y;
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

// A cell's text from its source, bounded, and valid UTF-8 for Pango: names
// and command lines are bytes, not always UTF-8, and each invalid byte shows
// as U+FFFD.
class cell_writer {
public:
    const char *write(const list_column &c, const cell_source &s)
    {
        const int len = std::clamp(c.cell(s, raw_, c.bound), 0, static_cast<int>(c.bound) - 1);
        if (g_utf8_validate(raw_, len, nullptr))
            return raw_;
        valid_.reset(g_utf8_make_valid(raw_, len));
        return valid_.get();
    }

private:
    char raw_[cell_buffer];
    std::unique_ptr<gchar, gchar_free> valid_;
};

// A source text is a field of the record, or none.
static_assert(sizeof(proc_info) <= UINT16_MAX);

void keep_texts(listed_row &r, const proc_info &p)
{
    r.texts.clear();
    for (int i = 0; i < pe_columns; i++) {
        const std::string_view text = pe_list[i].source(p).text;
        r.texts.append(text);
        r.cells[i].text_len = static_cast<uint16_t>(text.size());
    }
}

// Only the cells whose source changed are formatted, and only those whose
// text changed are written and measured.
void refresh_row(GtkCList *clist, listed_row &r, const proc_info &p)
{
    const char *kept_text = r.texts.data();
    bool texts_changed = false;
    for (int i = 0; i < pe_columns; i++) {
        const list_column &c = pe_list[i];
        const cell_source s = c.source(p);
        listed_cell &kept = r.cells[i];
        const bool same_text = std::string_view(kept_text, kept.text_len) == s.text;
        kept_text += kept.text_len;
        texts_changed = texts_changed || !same_text;
        if (kept.number == s.number && kept.total == s.total && same_text) {
            if (fit.remeasure)
                if (const char *shown = cell_text(r.row, i))
                    note_width(i, r, shown);
            continue;
        }
        kept.number = s.number;
        kept.total = s.total;
        cell_writer writer;
        const char *text = writer.write(c, s);
        const char *shown = cell_text(r.row, i);
        if (shown && strcmp(shown, text) == 0) {
            if (fit.remeasure)
                note_width(i, r, shown);
            continue;
        }
        // GtkCList's own cell setter on the row in hand, frozen:
        // gtk_clist_set_text would first walk the list down to the row's
        // index, and then do just this.
        GTK_CLIST_GET_CLASS(clist)->set_cell_contents(clist, r.row, i, GTK_CELL_TEXT, text, 0, nullptr, nullptr);
        note_width(i, r, text);
    }
    if (texts_changed)
        keep_texts(r, p);
}

// Inserted at the cursor while the rows are in order: before the rows not
// yet listed. Otherwise appended: after the last row listed, or sorted into
// place at the finish.
void add_row(GtkCList *clist, const proc_info &p)
{
    auto r = std::make_unique<listed_row>();
    std::array<cell_writer, pe_columns> writers;
    gchar *texts[pe_columns];
    for (int i = 0; i < pe_columns; i++) {
        const cell_source s = pe_list[i].source(p);
        r->cells[i].number = s.number;
        r->cells[i].total = s.total;
        texts[i] = const_cast<gchar *>(writers[i].write(pe_list[i], s));
    }
    keep_texts(*r, p);
    int index;
    GList *link;
    if (upd.open && upd.cursor && !upd.reorder) {
        index = gtk_clist_insert(clist, upd.cursor_index, texts);
        link = upd.cursor->prev;
        upd.cursor_index++;
        if (++upd.inserts + upd.passed.size() > index_edits)
            upd.reorder = true;
    } else {
        index = gtk_clist_append(clist, texts);
        link = clist->row_list_end;
    }
    r->pid = p.pid;
    r->list = clist;
    r->row = GTK_CLIST_ROW(link);
    r->seen = upd.id;
    r->rank = upd.listed;
    for (int i = 0; i < pe_columns; i++)
        note_width(i, *r, texts[i]);
    listed_row *kept = r.release(); // the row owns it now
    gtk_clist_set_row_data_full(clist, index, kept, forget_row);
    upd.by_pid[kept->pid] = kept;
}

// The row listed now for pid, if the list shows one; moves the cursor past it.
listed_row *take_listed(GtkCList *clist, int64_t pid)
{
    if (upd.cursor) {
        listed_row *r = row_of(upd.cursor);
        if (r && r->pid == pid && r->seen != upd.id) {
            upd.cursor = upd.cursor->next;
            upd.cursor_index++;
            return r;
        }
    }
    auto it = upd.by_pid.find(pid);
    if (it == upd.by_pid.end() || it->second->list != clist || it->second->seen == upd.id)
        return nullptr;
    listed_row *r = it->second;
    GList *found = nullptr;
    if (r->passed != upd.id) {
        int steps = 0;
        for (GList *link = upd.cursor; link && steps <= look_ahead; link = link->next, steps++)
            if (GTK_CLIST_ROW(link) == r->row) {
                found = link;
                break;
            }
    }
    if (!found) {
        upd.reorder = true; // listed before rows it used to follow
        return r;
    }
    for (GList *link = upd.cursor; link != found; link = link->next) {
        if (listed_row *q = row_of(link))
            q->passed = upd.id;
        else
            upd.reorder = true; // a row that is not the view's own
        upd.passed.push_back(upd.cursor_index++);
    }
    if (upd.inserts + upd.passed.size() > index_edits)
        upd.reorder = true;
    upd.cursor = found->next;
    upd.cursor_index++;
    return r;
}

bool listed_now(GtkCList *clist, GList *link)
{
    const listed_row *r = row_of(link);
    return r && r->list == clist && r->seen == upd.id;
}

// GtkCList's sort keeps the selection on its rows, not the focus.
void sort_rows(GtkCList *clist)
{
    const GtkCListRow *focused = nullptr;
    if (clist->focus_row >= 0 && clist->focus_row < clist->rows)
        focused = GTK_CLIST_ROW(g_list_nth(clist->row_list, clist->focus_row));
    gtk_clist_sort(clist);
    int index = 0;
    for (GList *link = clist->row_list; focused && link; link = link->next, index++)
        if (GTK_CLIST_ROW(link) == focused) {
            clist->focus_row = index; // no call sets it
            break;
        }
}

// The rows of ended processes go; the rest is put in the listing's order.
void settle_rows(GtkCList *clist)
{
    if (upd.reorder) {
        sort_rows(clist);
    } else {
        // In order: every row gone past is unlisted, and the rows after the
        // cursor are too. Removing from the bottom up keeps the indices.
        for (auto index = upd.passed.rbegin(); index != upd.passed.rend(); ++index)
            gtk_clist_remove(clist, *index);
    }
    while (clist->row_list_end && !listed_now(clist, clist->row_list_end))
        gtk_clist_remove(clist, clist->rows - 1); // the last row is at hand
}

void prepare2_flush_clist(GtkWidget *clist)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to flush clist\n");
    GtkCList *list = GTK_CLIST(clist);
    fit.vscroll = gtk_adjustment_get_value(gtk_clist_get_vadjustment(list));
    fit.hscroll = gtk_adjustment_get_value(gtk_clist_get_hadjustment(list));
    // GtkCList does not sort its rows while it holds the pointer (a button
    // held down on a row): that update refills the list instead.
    if (gtk_widget_has_grab(clist) && gdk_display_pointer_is_grabbed(gtk_widget_get_display(clist)))
        gtk_clist_clear(list);
    if (fit.remeasure)
        for (column_fit &c : fit.columns) {
            c.widest = 0;
            c.owner = nullptr;
            c.widest_text.clear();
            c.widest_measured = -1;
            c.stale = false;
        }
    if (!upd.open)
        gtk_clist_freeze(list);
    upd.open = true;
    upd.id++;
    upd.cursor = list->row_list;
    upd.cursor_index = 0;
    upd.listed = 0;
    upd.reorder = false;
    upd.passed.clear();
    upd.inserts = 0;
}

void finish_flush_clist(GtkWidget *clist)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 finish to flush clist\n");
    GtkCList *list = GTK_CLIST(clist);
    if (upd.open) {
        settle_rows(list);
        fit.remeasure = false;
    }
    refit_stale(list);
    fit_columns(list);
    // Each row inserted or removed above the view shifted GtkCList's offset
    // by a row while frozen, and the thaw would take that for a list that
    // no longer fits the view and jump to its end. The view stays at its
    // scroll value, as when the list was refilled: the thaw draws it once,
    // in its place.
    list->voffset = -static_cast<gint>(gtk_adjustment_get_value(gtk_clist_get_vadjustment(list)));
    if (upd.open)
        gtk_clist_thaw(list);
    upd.open = false;
    upd.cursor = nullptr;
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
    const bool found =
        db_operate.quillmar_db_query(0, psort.sort_type_status[column], sort_name(column));
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
}

void gtk2_gui_run(int64_t dbstat)
{
    vskprint(LOG_LEVEL_INFO, __func__, "gtk2 prepare to run gui\n");
    gtk2_call_ipc(ipc_to_service, "0");
    g2modules.dbstat = dbstat;
    gtk_widget_show_all(g2modules.window);
    gtk_main();
}

const gtk2_base_operate base_operate = {
    .info_dialog = show_info_dialog,
    .question_dialog = show_question_dialog,
    .warn_dialog = show_warn_dialog,
    .error_dialog = show_error_dialog,
    .prepare2_flush_clist = prepare2_flush_clist,
    .finish_flush_clist = finish_flush_clist,
};

const quillmar_gui_operate gtk2_operate = {
    .quillmar_gui_create_window = gtk2_create_window,
    .quillmar_gui_signal_handle = gtk2_signal_handle,
    .quillmar_gui_run = gtk2_gui_run,
    .quillmar_gui_update = gtk2_gui_update,
    .quillmar_gui_sysrq_failed = gtk2_gui_sysrq_failed,
};

} // namespace

void gtk2_flush_clist(proc_info info)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    if (listed_row *r = upd.open ? take_listed(clist, info.pid) : nullptr) {
        refresh_row(clist, *r, info);
        r->seen = upd.id;
        r->rank = upd.listed;
    } else {
        add_row(clist, info);
    }
    if (upd.open)
        upd.listed++;
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
