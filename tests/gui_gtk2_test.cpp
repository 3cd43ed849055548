// The assistant's window built in this process under a real X server: widget
// tree, texts and icons, status updates, requests and dialogs.
#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <thread>
#include <algorithm>
#include <sys/msg.h>
#include <sys/wait.h>
#include <csignal>

#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "ip.h"
#include "paths.h"
#include "quillmar/ipc.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

quillmar_gui_operate gui;
quillmar_db_operate db;

std::string icon(const char *name)
{
    return std::string(paths::icon_dir) + name + ".png";
}

std::vector<std::string> tab_texts(GtkWidget *notebook)
{
    std::vector<std::string> texts;
    for (int i = 0; i < gtk_notebook_get_n_pages(GTK_NOTEBOOK(notebook)); i++) {
        GtkWidget *page = gtk_notebook_get_nth_page(GTK_NOTEBOOK(notebook), i);
        texts.push_back(gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(notebook), page));
    }
    return texts;
}

GtkWidget *nested_notebook()
{
    GtkWidget *base = gtk_notebook_get_nth_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    GList *children = gtk_container_get_children(GTK_CONTAINER(base));
    GtkWidget *nested = nullptr;
    for (GList *l = children; l; l = l->next)
        if (GTK_IS_NOTEBOOK(l->data))
            nested = GTK_WIDGET(l->data);
    g_list_free(children);
    return nested;
}

std::string address_of(const char *dotted)
{
    return std::string(" ") + dotted;
}

class GuiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "the window tests need an X server (scripts/test runs Xvfb)";
        test::board::lay();
        db = db_get_operate();
        gui = gui_get_gtk2_operate(db);
        gui.quillmar_gui_create_window();
        gui.quillmar_gui_signal_handle();
        g2modules.dbstat = db.quillmar_db_init();
        gtk_widget_show_all(g2modules.window);
        test::gtk::pump();
    }

    void SetUp() override
    {
        requests = test::wire::request_queue();
        test::wire::drain(requests);
    }

    // The three feature buttons: texts, and whether each shows its icon.
    static void expect_features(const std::array<const char *, 3> &texts, const std::array<const char *, 3> &icons,
                                const std::string &context)
    {
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ(test::gtk::label_text(g2modules.labels[2 + i]), texts[i]) << context;
            EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[2 + i], icon(icons[i]))) << context << " " << icons[i];
        }
    }

    int requests = -1;
};

TEST_F(GuiTest, WindowAndNotebooksAreBuiltAsDesigned)
{
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(g2modules.window)), "Vask-Assistant [v3.1]");
    EXPECT_NE(gtk_window_get_icon(GTK_WINDOW(g2modules.window)), nullptr);
    int w = 0, h = 0;
    gtk_widget_get_size_request(g2modules.window, &w, &h);
    EXPECT_EQ(w, 800);
    EXPECT_EQ(h, 500);

    ASSERT_NE(g2modules.notebook, nullptr);
    EXPECT_EQ(gtk_widget_get_parent(g2modules.notebook), g2modules.window);
    EXPECT_EQ(tab_texts(g2modules.notebook), (std::vector<std::string>{"Base Functions", "Process Explorer"}));
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(g2modules.notebook)), 0);

    GtkWidget *nested = nested_notebook();
    ASSERT_NE(nested, nullptr);
    EXPECT_EQ(tab_texts(nested),
              (std::vector<std::string>{"Debugging Functions", "System Functions", "Sysrq Log Level"}));
    EXPECT_EQ(gtk_notebook_get_current_page(GTK_NOTEBOOK(nested)), 0);

    // The base buttons stand in one column beside the nested notebook.
    GtkWidget *column = gtk_widget_get_parent(g2modules.base_btns[0]);
    EXPECT_TRUE(GTK_IS_VBOX(column));
    EXPECT_EQ(gtk_widget_get_parent(column), gtk_widget_get_parent(nested));
    for (GtkWidget *b : g2modules.base_btns)
        EXPECT_EQ(gtk_widget_get_parent(b), column);

    // Pages of SysRq buttons: 12, 13 and 10.
    const int counts[3] = {12, 13, 10};
    int index = 0;
    for (int page = 0; page < 3; page++) {
        GtkWidget *box = gtk_notebook_get_nth_page(GTK_NOTEBOOK(nested), page);
        EXPECT_TRUE(gtk_box_get_homogeneous(GTK_BOX(box)));
        for (int i = 0; i < counts[page]; i++, index++)
            EXPECT_EQ(gtk_widget_get_parent(g2modules.sysrq_btns[index]), box) << index;
    }

    ASSERT_NE(g2modules.clist, nullptr);
    EXPECT_EQ(GTK_CLIST(g2modules.clist)->columns, 17);
    const char *titles[17] = {"Pid",     "Priority", "Nice",      "S",          "Virt KB",   "Res KB",
                              "Shr KB",  "CPU %",    "Mem %",     "Time+",      "Name",      "Affinity / CPU List",
                              "Min Fault", "CMin Fault", "Maj Fault", "CMaj Fault", "Cmdline"};
    for (int i = 0; i < 17; i++)
        EXPECT_STREQ(gtk_clist_get_column_title(GTK_CLIST(g2modules.clist), i), titles[i]);
    EXPECT_EQ(g2modules.timerid, -1);
}

TEST_F(GuiTest, BaseButtonsStartWithTheirTextsAndIcons)
{
    EXPECT_EQ(test::gtk::label_text(g2modules.labels[0]), " Update Status");
    const std::string address = test::gtk::label_text(g2modules.labels[1]);
    in_addr parsed{};
    ASSERT_TRUE(address.size() > 1 && address[0] == ' ');
    EXPECT_EQ(inet_pton(AF_INET, address.c_str() + 1, &parsed), 1) << address;
    EXPECT_LE(address.size(), 16u);
    expect_features({"----------------", "----------------", "----------------"}, {"otg", "sdc", "sysrq"}, "start");
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[0], icon("update")));
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[1], icon("wifi")));
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "base-functions"));
}

TEST_F(GuiTest, StatusValuesRelabelAllThreeFeatureButtons)
{
    struct {
        int8_t value;
        std::array<const char *, 3> texts;
        std::array<const char *, 3> icons;
    } cases[] = {
        {0, {" Host", " SD Card", " NonRq"}, {"host", "sdc", "non-sysrq"}},
        {5, {" OTG", " SD Card", " SysRq"}, {"otg", "sdc", "sysrq"}},
        {7, {" OTG", " JTAG & UART", " SysRq"}, {"otg", "jtag", "sysrq"}},
        {8, {" Host", " SD Card", " NonRq"}, {"host", "sdc", "non-sysrq"}},
        {2, {" Host", " JTAG & UART", " NonRq"}, {"host", "jtag", "non-sysrq"}},
        {-1, {" OTG", " JTAG & UART", " SysRq"}, {"otg", "jtag", "sysrq"}},
    };
    for (const auto &c : cases) {
        // As from the receiver: another thread hands the value over.
        std::thread([&] { gui.quillmar_gui_update(c.value); }).join();
        test::gtk::pump();
        expect_features(c.texts, c.icons, "value " + std::to_string(c.value));
    }
    // Several values in a row are applied in their order: the last one stays.
    std::thread([] {
        for (int8_t v : {7, 0, 5})
            gui.quillmar_gui_update(v);
    }).join();
    test::gtk::pump();
    expect_features({" OTG", " SD Card", " SysRq"}, {"otg", "sdc", "sysrq"}, "7 0 5");
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "base-functions-status"));
}

TEST_F(GuiTest, EveryButtonSendsItsRequest)
{
    struct {
        GtkWidget *button;
        const char *label;
        const char *request;
    } sysrq[] = {
        {g2modules.sysrq_btns[0], "c: System Crash [Empty Pointer] (2Fn+3)", "c"},
        {g2modules.sysrq_btns[1], "t: List all processes and their information (3Fn+0)", "t"},
        {g2modules.sysrq_btns[2], "p: Dump current register and flag bit information (3Fn+6)", "p"},
        {g2modules.sysrq_btns[3], "m: Dump current memory information (3Fn+3)", "m"},
        {g2modules.sysrq_btns[4], "l: Display the stack of all active CPUs (3Fn+2)", "l"},
        {g2modules.sysrq_btns[5], "y: Display CPU registers [SPARC-64] (4Fn+5)", "y"},
        {g2modules.sysrq_btns[6], "z: Dump FTrace buffer (4Fn+6)", "z"},
        {g2modules.sysrq_btns[7], "q: Dumping of information from high-precision timers and clocks (3Fn+7)", "q"},
        {g2modules.sysrq_btns[8], "v: Force recovery of frame buffer / dump ETM buffer [ARM] (4Fn+2)", "v"},
        {g2modules.sysrq_btns[9], "w: Dumping uninterrupted state processes (4Fn+3)", "w"},
        {g2modules.sysrq_btns[10], "x: Display PMU register [SPARC-64] / dump TLB [MIPS] (4Fn+4)", "x"},
        {g2modules.sysrq_btns[11], "n: Set the log level (3Fn+4)", "n"},
        {g2modules.sysrq_btns[12], "h: Show help information (2Fn+8)", "h"},
        {g2modules.sysrq_btns[13], "b: Reboot (2Fn+2)", "b"},
        {g2modules.sysrq_btns[14], "o: Shutdown (3Fn+5)", "o"},
        {g2modules.sysrq_btns[15], "d: Show all occupied locks (2Fn+4)", "d"},
        {g2modules.sysrq_btns[16], "e: Ending the process [SIGTERM] (2Fn+5)", "e"},
        {g2modules.sysrq_btns[17], "i: Force the process to end [SIGKILL] (2Fn+9)", "i"},
        {g2modules.sysrq_btns[18], "f: Enable OOM Killer(2Fn + 6)", "f"},
        {g2modules.sysrq_btns[19], "k: End all processes associated with the current console (3Fn+1)", "k"},
        {g2modules.sysrq_btns[20], "s: Synchronizing buffers to the file system (3Fn+9)", "s"},
        {g2modules.sysrq_btns[21], "u: Remounting the file system to read-only mode (4Fn+1)", "u"},
        {g2modules.sysrq_btns[22], "j: Forced freezing of the file system (2Fn+0)", "j"},
        {g2modules.sysrq_btns[23], "r: Set the keyboard to XLATE mode (3Fn+8)", "r"},
        {g2modules.sysrq_btns[24], "g: Used by KGDB (2Fn+7)", "g"},
    };
    for (const auto &b : sysrq) {
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(b.button)), b.label);
        float x = -1, y = -1;
        gtk_button_get_alignment(GTK_BUTTON(b.button), &x, &y);
        EXPECT_EQ(x, 0.0f);
        EXPECT_EQ(y, 0.5f);
        gtk_button_clicked(GTK_BUTTON(b.button));
        EXPECT_EQ(test::wire::receive(requests), b.request) << b.label;
    }
    for (int level = 0; level <= 9; level++) {
        GtkWidget *button = g2modules.sysrq_btns[25 + level];
        EXPECT_EQ(gtk_button_get_label(GTK_BUTTON(button)), std::to_string(level) + " [Log level]");
        gtk_button_clicked(GTK_BUTTON(button));
        EXPECT_EQ(test::wire::receive(requests), std::to_string(level) + "l");
    }
    const struct {
        int index;
        const char *request;
    } base[] = {{0, "0"}, {2, "1"}, {3, "2"}, {4, "4"}};
    for (const auto &b : base) {
        gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[b.index]));
        EXPECT_EQ(test::wire::receive(requests), b.request) << b.index;
    }
}

TEST_F(GuiTest, AddressButtonReadsTheAddressAgainAndSendsNothing)
{
    gtk_label_set_text(GTK_LABEL(g2modules.labels[1]), "stale");
    gtk_image_set_from_file(GTK_IMAGE(g2modules.imgs[1]), icon("host").c_str());
    gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[1]));
    in_addr addr{};
    addr.s_addr = static_cast<in_addr_t>(ip_get());
    EXPECT_EQ(test::gtk::label_text(g2modules.labels[1]), address_of(inet_ntoa(addr)));
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[1], icon("wifi")));
    // The next request in the queue is the one sent after it.
    gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[0]));
    EXPECT_EQ(test::wire::receive(requests), "0");
}

TEST_F(GuiTest, DialogsShowTheirTextLiterally)
{
    test::gtk::dialog_answerer answerer(g2modules.window);
    const gtk2_base_operate &dialogs = *gtk2_get_base_operate();
    dialogs.info_dialog("info 100%d");
    dialogs.question_dialog("question %s");
    dialogs.warn_dialog("warn %%");
    dialogs.error_dialog("error %d%n");
    ASSERT_EQ(answerer.seen().size(), 4u);
    const struct {
        const char *title;
        const char *text;
        GtkMessageType type;
    } expected[] = {
        {"Info", "info 100%d", GTK_MESSAGE_INFO},
        {"Question", "question %s", GTK_MESSAGE_QUESTION},
        {"Warning", "warn %%", GTK_MESSAGE_WARNING},
        {"Error", "error %d%n", GTK_MESSAGE_ERROR},
    };
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(answerer.seen()[i].title, expected[i].title);
        EXPECT_EQ(answerer.seen()[i].text, expected[i].text);
        EXPECT_EQ(answerer.seen()[i].type, expected[i].type);
    }
}

TEST_F(GuiTest, UnreachableServiceShowsTheIpcErrorForEveryButton)
{
    const std::string key = paths::ostrivel_ipc_key;
    fs::rename(key, key + ".away");
    test::gtk::dialog_answerer answerer(g2modules.window);
    gtk_button_clicked(GTK_BUTTON(g2modules.sysrq_btns[13])); // "b: Reboot"
    gtk_button_clicked(GTK_BUTTON(g2modules.sysrq_btns[32])); // "7 [Log level]"
    gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[2]));
    fs::rename(key + ".away", key);
    ASSERT_EQ(answerer.seen().size(), 3u);
    for (const auto &d : answerer.seen()) {
        EXPECT_EQ(d.title, "Error");
        EXPECT_EQ(d.text, "IPC failure with ostrivel service");
    }
}

TEST_F(GuiTest, OnlyTheTopNotebookHandlesPageSwitches)
{
    guint switch_page = g_signal_lookup("switch-page", GTK_TYPE_NOTEBOOK);
    EXPECT_TRUE(g_signal_has_handler_pending(g2modules.notebook, switch_page, 0, FALSE));
    GtkWidget *nested = nested_notebook();
    EXPECT_FALSE(g_signal_has_handler_pending(nested, switch_page, 0, FALSE));

    for (int page : {1, 2, 0}) {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(nested), page);
        test::gtk::pump();
        const char *names[] = {"sysrq-debugging", "sysrq-system", "sysrq-log-level"};
        ASSERT_TRUE(test::gtk::screenshot(g2modules.window, names[page]));
    }
}

TEST_F(GuiTest, ProcessExplorerRefusesAnUnusableDatabase)
{
    test::gtk::dialog_answerer answerer(g2modules.window);
    const int64_t saved = g2modules.dbstat;
    g2modules.dbstat = 14; // SQLITE_CANTOPEN
    for (int round = 0; round < 2; round++) {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
        gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    }
    g2modules.dbstat = saved;
    ASSERT_EQ(answerer.seen().size(), 2u);
    for (const auto &d : answerer.seen())
        EXPECT_EQ(d.text, "Process Explorer does not work, db error");
    EXPECT_EQ(g2modules.timerid, -1);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "process-explorer"));
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
}

TEST_F(GuiTest, RunSendsTheStatusRequestBeforeShowingTheWindow)
{
    gtk_widget_hide(g2modules.window);
    test::gtk::pump();
    // What waits in the service's queue at the moment the window is shown.
    struct observed {
        int requests;
        std::optional<size_t> waiting_when_shown;
    } seen{requests, std::nullopt};
    auto on_show = +[](GtkWidget *, gpointer data) {
        auto *s = static_cast<observed *>(data);
        struct msqid_ds ds;
        if (msgctl(s->requests, IPC_STAT, &ds) == 0)
            s->waiting_when_shown = ds.msg_qnum;
    };
    gulong handler = g_signal_connect(g2modules.window, "show", G_CALLBACK(on_show), &seen);
    g_idle_add([](gpointer) -> gboolean { gtk_main_quit(); return G_SOURCE_REMOVE; }, nullptr);
    gui.quillmar_gui_run(0);
    g_signal_handler_disconnect(g2modules.window, handler);
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(g2modules.window));
    EXPECT_EQ(seen.waiting_when_shown, 1u);
    EXPECT_EQ(test::wire::receive(requests, std::chrono::milliseconds(0)), "0");
}

TEST_F(GuiTest, UnreachableServiceAtStartShowsTheErrorBeforeTheWindow)
{
    gtk_widget_hide(g2modules.window);
    test::gtk::pump();
    const std::string key = paths::ostrivel_ipc_key;
    fs::rename(key, key + ".away");
    test::gtk::dialog_answerer answerer(g2modules.window);
    // Leave the main loop once it runs with the window shown, not the
    // dialog's own loop before it.
    g_timeout_add(
        20,
        [](gpointer) -> gboolean {
            if (gtk_main_level() != 1 || !GTK_WIDGET_VISIBLE(g2modules.window))
                return G_SOURCE_CONTINUE;
            gtk_main_quit();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gui.quillmar_gui_run(0);
    fs::rename(key + ".away", key);
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].text, "IPC failure with ostrivel service");
    EXPECT_FALSE(answerer.seen()[0].main_window_visible);
    EXPECT_TRUE(GTK_WIDGET_VISIBLE(g2modules.window));
}

std::string list_cell(int row, int col)
{
    gchar *text = nullptr;
    gtk_clist_get_text(GTK_CLIST(g2modules.clist), row, col, &text);
    return text ? text : "(none)";
}

std::vector<std::string> listed_pids()
{
    std::vector<std::string> pids;
    for (int r = 0; r < GTK_CLIST(g2modules.clist)->rows; r++)
        pids.push_back(list_cell(r, 0));
    return pids;
}

TEST_F(GuiTest, RowsAreFormattedForTheList)
{
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
    minfo = {.cpu_count = 8, .mtime = -1, .memtotal = 4000};
    proc_info known{};
    known.pid = 812;
    known.priority = 20;
    known.state = 'S';
    known.virt = 1000;
    known.res = 100;
    known.shr = 25;
    known.cputime = 50;
    snprintf(known.time, sizeof(known.time), "00:00.50");
    snprintf(known.comm, sizeof(known.comm), "quillmar");
    known.affinity = 255;
    snprintf(known.cpulist, sizeof(known.cpulist), "01234567");
    snprintf(known.cmdline, sizeof(known.cmdline), "/opt/vask/quillmar/quillmar");
    gtk2_flush_clist(known);
    known.affinity = -1;
    snprintf(known.cpulist, sizeof(known.cpulist), "----");
    gtk2_flush_clist(known);
    const std::vector<std::string> first = {"812", "20", "0", "S", "4000", "400", "100", "-5000.00", "10.00",
                                            "00:00.50", "quillmar", "0xff / 01234567", "0", "0", "0", "0",
                                            "/opt/vask/quillmar/quillmar"};
    for (int col = 0; col < 17; col++)
        EXPECT_EQ(list_cell(0, col), first[col]) << col;
    EXPECT_EQ(list_cell(1, 11), "0xffffffffffffffff / ----");
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
}

TEST_F(GuiTest, ColumnClicksSortDescendingThenAscending)
{
    ASSERT_TRUE(db.quillmar_db_exec_sql("DELETE FROM ProcInfo;"));
    ASSERT_TRUE(db.quillmar_db_exec_sql("INSERT INTO ProcInfo (Pid, CpuTime, Res) VALUES (1, 30, 5), (2, 10, 50), "
                                        "(3, 20, 500);"));
    const struct {
        int column;
        std::vector<std::string> pids;
    } clicks[] = {
        {7, {"1", "3", "2"}}, // CPU %: descending
        {7, {"2", "3", "1"}}, // then ascending
        {8, {"3", "2", "1"}}, // Mem % sorts by Res
        {0, {"3", "2", "1"}}, // Pid, first click: descending
        {0, {"1", "2", "3"}},
    };
    for (const auto &c : clicks) {
        g_signal_emit_by_name(g2modules.clist, "click-column", c.column);
        EXPECT_EQ(listed_pids(), c.pids) << c.column;
    }
    ASSERT_TRUE(db.quillmar_db_exec_sql("DELETE FROM ProcInfo;"));
    test::gtk::dialog_answerer answerer(g2modules.window);
    g_signal_emit_by_name(g2modules.clist, "click-column", 3); // an empty table: no dialog
    test::gtk::pump();
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_TRUE(listed_pids().empty());
}

TEST_F(GuiTest, ProcessExplorerTabListsTheMachineWhileShown)
{
    pid_t child = fork();
    if (child == 0) {
        for (;;)
            pause();
    }
    const std::string child_pid = std::to_string(child);
    auto has_child = [&] {
        auto pids = listed_pids();
        return std::find(pids.begin(), pids.end(), child_pid) != pids.end();
    };
    test::gtk::dialog_answerer answerer(g2modules.window);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    EXPECT_GT(g2modules.timerid, 0);
    EXPECT_GT(GTK_CLIST(g2modules.clist)->rows, 2);
    EXPECT_TRUE(has_child());
    auto pids = listed_pids();
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end(), [](auto &a, auto &b) { return std::stol(a) < std::stol(b); }));
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "process-explorer-list"));

    // The nested SysRq pages do not touch the timer.
    const int32_t timer = g2modules.timerid;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(nested_notebook()), 2);
    EXPECT_EQ(g2modules.timerid, timer);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    EXPECT_EQ(g2modules.timerid, -1);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    EXPECT_FALSE(has_child());
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    for (const auto &d : answerer.seen()) // reads of ending processes may fail
        EXPECT_EQ(d.text, "Some results are problematic");
}

TEST_F(GuiTest, ProcessExplorerSaysWhenNothingIsListed)
{
    ASSERT_TRUE(db.quillmar_db_exec_sql("DROP TABLE ProcInfo;"));
    test::gtk::dialog_answerer answerer(g2modules.window);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    ASSERT_EQ(db.quillmar_db_init(), 0);
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].text, "No Data");
    EXPECT_EQ(answerer.seen()[0].title, "Error");
}

} // namespace
