// The assistant's window built in this process under a real X server: widget
// tree, texts and icons, status updates, requests and dialogs.
#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <thread>
#include <algorithm>
#include <sys/msg.h>
#include <sys/wait.h>
#include <csignal>
#include <memory>
#include <spawn.h>
#include <sqlite3.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "ip.h"
#include "common/ipc.h"
#include "paths.h"
#include "proc_action.h"
#include "process.h"
#include "quillmar.h"
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

// --- pictures ----------------------------------------------------------------

struct gobject_unref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using picture = std::unique_ptr<GdkPixbuf, gobject_unref>;

// Saves what the window shows to <build>/screenshots and reads the saved
// file back: the checks look at the very picture that was kept.
picture shot(const std::string &name)
{
    // What a dialog or window that just went away uncovered is repainted
    // first: the server's exposures are in once it has answered.
    gdk_display_sync(gdk_display_get_default());
    test::gtk::pump();
    gdk_window_process_all_updates();
    if (!test::gtk::screenshot(g2modules.window, name))
        return nullptr;
    const std::string path = std::string(VASK_BUILD_DIR) + "/screenshots/" + name + ".png";
    return picture(gdk_pixbuf_new_from_file(path.c_str(), nullptr));
}

struct area {
    int x, y, w, h;
};

// Where a widget is drawn, in the window's picture.
area area_of(GtkWidget *widget)
{
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, g2modules.window, 0, 0, &x, &y);
    return {x, y, widget->allocation.width, widget->allocation.height};
}

// The RGB bytes of an area, row by row; empty when the area is off the picture.
std::vector<uint8_t> pixels(GdkPixbuf *pic, area a)
{
    std::vector<uint8_t> out;
    if (!pic || a.w <= 0 || a.h <= 0 || a.x < 0 || a.y < 0 || a.x + a.w > gdk_pixbuf_get_width(pic) ||
        a.y + a.h > gdk_pixbuf_get_height(pic))
        return out;
    const int channels = gdk_pixbuf_get_n_channels(pic), stride = gdk_pixbuf_get_rowstride(pic);
    const guchar *data = gdk_pixbuf_get_pixels(pic);
    for (int y = a.y; y < a.y + a.h; y++)
        for (int x = a.x; x < a.x + a.w; x++)
            for (int c = 0; c < 3; c++)
                out.push_back(data[y * stride + x * channels + c]);
    return out;
}

// How many different colours an area shows: 1 for a blank one.
size_t colours(GdkPixbuf *pic, area a)
{
    const std::vector<uint8_t> p = pixels(pic, a);
    std::vector<uint32_t> seen;
    for (size_t i = 0; i + 2 < p.size(); i += 3)
        seen.push_back(uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2]);
    std::sort(seen.begin(), seen.end());
    return static_cast<size_t>(std::unique(seen.begin(), seen.end()) - seen.begin());
}

constexpr int first_feature = 2;

// The process list's scrolled window, and the part of it the list shows.
GtkWidget *list_scroller()
{
    GtkWidget *w = g2modules.clist;
    while (w && !GTK_IS_SCROLLED_WINDOW(w))
        w = gtk_widget_get_parent(w);
    return w;
}

area list_view()
{
    return area_of(gtk_bin_get_child(GTK_BIN(list_scroller())));
}

// The top of what the list shows, as high as its title row: the titles
// belong there whatever the scroll position.
area title_strip()
{
    const area v = list_view();
    const GdkRectangle &t = GTK_CLIST(g2modules.clist)->column_title_area;
    return {v.x, v.y, v.w, t.y + t.height};
}

// Below the titles, inside the list's border.
area rows_area()
{
    const area v = list_view();
    const GdkRectangle &t = GTK_CLIST(g2modules.clist)->column_title_area;
    const int top = t.y + t.height + 2;
    return {v.x + 4, v.y + top, v.w - 8, v.h - top - 4};
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
        gui = gui_get_gtk2_operate(db, quillmar_clean_up);
        gui.quillmar_gui_create_window();
        gui.quillmar_gui_signal_handle();
        g2modules.dbstat = db.quillmar_db_init();
        proc_list_init();
        gtk_widget_show_all(g2modules.window);
        test::gtk::pump();
    }

    void SetUp() override
    {
        requests = test::wire::request_queue();
        // A send that goes through ends what an earlier failed one had to tell.
        ASSERT_EQ(msg_send("0"), 0);
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

    GtkWidget *nested = test::gtk::nested_notebook();
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

// A window built anew, as the assistant starts with it; the suite's window
// comes back afterwards. Other tests relabel the buttons of the suite's one.
class fresh_window {
public:
    fresh_window()
    {
        gui.quillmar_gui_create_window();
        gtk_widget_show_all(g2modules.window);
        test::gtk::pump();
    }
    ~fresh_window()
    {
        gtk_widget_destroy(g2modules.window);
        g2modules = saved_;
        test::gtk::pump();
    }

private:
    gtk2_modules saved_ = g2modules;
};

TEST_F(GuiTest, BaseButtonsStartWithTheirTextsAndIcons)
{
    fresh_window fresh;
    EXPECT_EQ(test::gtk::label_text(g2modules.labels[0]), " Update Status");
    const std::string address = test::gtk::label_text(g2modules.labels[1]);
    in_addr parsed{};
    ASSERT_TRUE(address.size() > 1 && address[0] == ' ');
    EXPECT_EQ(inet_pton(AF_INET, address.c_str() + 1, &parsed), 1) << address;
    EXPECT_LE(address.size(), 16u);
    expect_features({"----------------", "----------------", "----------------"}, {"otg", "sdc", "sysrq"}, "start");
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[0], icon("update")));
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[1], icon("wifi")));
    picture pic = shot("base-functions");
    ASSERT_TRUE(pic);
    // The feature buttons show the same text, drawn alike (the last button
    // is a pixel higher, its text a pixel lower); the first two differ.
    const std::vector<uint8_t> feature = pixels(pic.get(), area_of(g2modules.labels[2]));
    EXPECT_GT(colours(pic.get(), area_of(g2modules.labels[2])), 1u);
    EXPECT_EQ(pixels(pic.get(), area_of(g2modules.labels[3])), feature);
    EXPECT_GT(colours(pic.get(), area_of(g2modules.labels[4])), 1u);
    for (int i = 0; i < base_btn_count; i++)
        EXPECT_GT(colours(pic.get(), area_of(g2modules.imgs[i])), 1u) << "icon " << i;
    EXPECT_NE(pixels(pic.get(), area_of(g2modules.base_btns[0])), pixels(pic.get(), area_of(g2modules.base_btns[1])));
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
    std::map<int8_t, picture> pics;
    for (const auto &c : cases) {
        // As from the receiver: another thread hands the value over.
        std::thread([&] { gui.quillmar_gui_update(c.value); }).join();
        test::gtk::pump();
        expect_features(c.texts, c.icons, "value " + std::to_string(c.value));
        if (c.value == 0 || c.value == 7)
            pics[c.value] = shot("base-functions-status-" + std::to_string(c.value));
    }
    ASSERT_TRUE(pics[0] && pics[7]);
    auto button = [](GdkPixbuf *pic, int i) { return pixels(pic, area_of(g2modules.base_btns[first_feature + i])); };
    for (int i = 0; i < 3; i++) // every feature button was drawn anew
        EXPECT_NE(button(pics[0].get(), i), button(pics[7].get(), i)) << i;
    // Several values in a row are applied in their order: the last one stays.
    std::thread([] {
        for (int8_t v : {7, 0, 5})
            gui.quillmar_gui_update(v);
    }).join();
    test::gtk::pump();
    expect_features({" OTG", " SD Card", " SysRq"}, {"otg", "sdc", "sysrq"}, "7 0 5");
    picture last = shot("base-functions-status");
    ASSERT_TRUE(last);
    // 5: OTG and SysRq as with 7, SD Card as with 0.
    EXPECT_EQ(button(last.get(), 0), button(pics[7].get(), 0));
    EXPECT_EQ(button(last.get(), 1), button(pics[0].get(), 1));
    EXPECT_EQ(button(last.get(), 2), button(pics[7].get(), 2));
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

// Each cause is told once, with its fix, however often the user clicks; told
// again once it came back after a send went through.
TEST_F(GuiTest, AnUnreachableServiceIsExplainedOncePerCause)
{
    const std::string key = paths::ostrivel_ipc_key;
    struct msqid_ds room;
    ASSERT_EQ(msgctl(requests, IPC_STAT, &room), 0);
    const struct {
        const char *fix;
        std::function<void()> fault, mend;
    } causes[] = {
        {"sudo apt install ostrivel", [&] { fs::rename(key, key + ".away"); }, [&] { fs::rename(key + ".away", key); }},
        // Full: nothing takes the requests out.
        {"sudo systemctl start ostrivel",
         [&] {
             struct msqid_ds one = room;
             one.msg_qbytes = msg_text_size;
             msgctl(requests, IPC_SET, &one);
             test::wire::send(requests, "m");
         },
         [&] {
             msgctl(requests, IPC_SET, &room);
             test::wire::drain(requests);
         }},
    };
    test::gtk::dialog_answerer answerer(g2modules.window);
    for (int round = 0; round < 2; round++) {
        for (const auto &c : causes) {
            const size_t before = answerer.seen().size();
            c.fault();
            gtk_button_clicked(GTK_BUTTON(g2modules.sysrq_btns[13])); // "b: Reboot"
            gtk_button_clicked(GTK_BUTTON(g2modules.sysrq_btns[32])); // "7 [Log level]"
            gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[2]));
            c.mend();
            ASSERT_EQ(answerer.seen().size(), before + 1) << c.fix;
            const auto &d = answerer.seen().back();
            EXPECT_EQ(d.title, "Error");
            EXPECT_TRUE(d.text.starts_with("IPC failure with ostrivel service\n")) << d.text;
            EXPECT_NE(d.text.find(c.fix), std::string::npos) << d.text;
            gtk_button_clicked(GTK_BUTTON(g2modules.base_btns[2]));
            EXPECT_EQ(test::wire::receive(requests, std::chrono::milliseconds(0)), "1");
        }
    }
}

// A button shows its whole label: the text has ink, and after it there is
// nothing but the button's face up to its edge.
void expect_label_whole(GdkPixbuf *pic, GtkWidget *button)
{
    GtkWidget *label = gtk_bin_get_child(GTK_BIN(button));
    ASSERT_TRUE(GTK_IS_LABEL(label));
    PangoRectangle text;
    pango_layout_get_pixel_extents(gtk_label_get_layout(GTK_LABEL(label)), nullptr, &text);
    int lx = 0, ly = 0;
    gtk_label_get_layout_offsets(GTK_LABEL(label), &lx, &ly);
    const area l = area_of(label), b = area_of(button);
    const int x = l.x + lx - label->allocation.x + text.x, y = l.y + ly - label->allocation.y + text.y;
    const int face_end = b.x + b.w - button->style->xthickness;
    const char *what = gtk_label_get_text(GTK_LABEL(label));
    EXPECT_GT(colours(pic, {x, y, text.width, text.height}), 1u) << what;
    EXPECT_EQ(colours(pic, {x + text.width, y, face_end - x - text.width, text.height}), 1u) << what;
}

TEST_F(GuiTest, OnlyTheTopNotebookHandlesPageSwitches)
{
    guint switch_page = g_signal_lookup("switch-page", GTK_TYPE_NOTEBOOK);
    EXPECT_TRUE(g_signal_has_handler_pending(g2modules.notebook, switch_page, 0, FALSE));
    GtkWidget *nested = test::gtk::nested_notebook();
    EXPECT_FALSE(g_signal_has_handler_pending(nested, switch_page, 0, FALSE));

    std::vector<std::vector<uint8_t>> shown(3);
    for (int page : {1, 2, 0}) {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(nested), page);
        test::gtk::pump();
        const char *names[] = {"sysrq-debugging", "sysrq-system", "sysrq-log-level"};
        picture pic = shot(names[page]);
        ASSERT_TRUE(pic);
        shown[page] = pixels(pic.get(), area_of(nested));
        ASSERT_FALSE(shown[page].empty());
        // At the window's own size no label is cut.
        const int first[] = {0, 12, 25, sysrq_btn_count};
        for (int i = first[page]; i < first[page + 1]; i++)
            expect_label_whole(pic.get(), g2modules.sysrq_btns[i]);
    }
    // Each page shows its own buttons.
    EXPECT_NE(shown[0], shown[1]);
    EXPECT_NE(shown[1], shown[2]);
    EXPECT_NE(shown[0], shown[2]);
}

TEST_F(GuiTest, ProcessExplorerRefusesAnUnusableDatabase)
{
    gtk_clist_clear(GTK_CLIST(g2modules.clist)); // as at start
    test::gtk::dialog_answerer answerer(g2modules.window);
    const int64_t saved = g2modules.dbstat;
    g2modules.dbstat = 14; // SQLITE_CANTOPEN
    picture pic;
    for (int round = 0; round < 2; round++) {
        gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
        if (round == 1)
            pic = shot("process-explorer");
        gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    }
    g2modules.dbstat = saved;
    ASSERT_EQ(answerer.seen().size(), 2u);
    for (const auto &d : answerer.seen())
        EXPECT_EQ(d.text, "Process Explorer does not work, db error");
    EXPECT_EQ(g2modules.timerid, -1);
    ASSERT_TRUE(pic);
    // The titles are drawn, the rows below them are blank.
    EXPECT_GT(colours(pic.get(), title_strip()), 1u);
    EXPECT_EQ(colours(pic.get(), rows_area()), 1u);
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
    EXPECT_TRUE(answerer.seen()[0].text.starts_with("IPC failure with ostrivel service\n")) << answerer.seen()[0].text;
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

    // Percentages in single precision: in double, 3 of 20000 and 12 kB of
    // 80000 kB would show 0.01, 11 of 20000 and 44 of 80000 0.06.
    const struct {
        int64_t cputime, mtime, res, memtotal;
        const char *cpu, *mem;
    } shares[] = {
        {2469, 20000, 2469, 80000, "12.35", "12.35"},
        {3, 20000, 3, 80000, "0.02", "0.02"},
        {11, 20000, 11, 80000, "0.05", "0.05"},
    };
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
    for (const auto &c : shares) {
        minfo = {.cpu_count = 8, .mtime = c.mtime, .memtotal = c.memtotal};
        known.cputime = c.cputime;
        known.res = c.res;
        gtk2_flush_clist(known);
        const int row = GTK_CLIST(g2modules.clist)->rows - 1;
        EXPECT_EQ(list_cell(row, 7), c.cpu) << c.cputime << " of " << c.mtime;
        EXPECT_EQ(list_cell(row, 8), c.mem) << c.res << " pages of " << c.memtotal << " kB";
    }
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
}

// Clicks column titles and, when done, clicks again so that every column is
// back to ascending and the list sorted by Pid, as at start: the sort state
// lasts for the run, and the next test expects it fresh.
class column_clicker {
public:
    void click(int column)
    {
        clicks_[column]++;
        g_signal_emit_by_name(g2modules.clist, "click-column", column);
    }
    ~column_clicker()
    {
        for (int c = 0; c < 17; c++)
            if (clicks_[c] % 2)
                click(c);
        click(0);
        click(0);
    }

private:
    int clicks_[17] = {};
};

TEST_F(GuiTest, ColumnClicksSortDescendingThenAscending)
{
    ASSERT_TRUE(db.quillmar_db_exec_sql("DELETE FROM ProcInfo;"));
    ASSERT_TRUE(db.quillmar_db_exec_sql("INSERT INTO ProcInfo (Pid, CpuTime, Res, Time, Comm) VALUES "
                                        "(1, 30, 5, '99:59.99', 'b'), (2, 10, 50, '100:00.00', 'c'), "
                                        "(3, 20, 500, '00:00.01', 'a');"));
    column_clicker clicker;
    const struct {
        int column;
        std::vector<std::string> pids;
    } clicks[] = {
        {7, {"1", "3", "2"}}, // CPU %: descending
        {7, {"2", "3", "1"}}, // then ascending
        {8, {"3", "2", "1"}}, // Mem % sorts by Res
        {5, {"3", "2", "1"}}, // Res KB too, with its own direction
        {9, {"1", "2", "3"}}, // Time+ sorts the texts: 99:59.99 > 100:00.00 > 00:00.01
        {9, {"3", "2", "1"}},
        {10, {"2", "1", "3"}}, // Name by Comm
        {0, {"3", "2", "1"}}, // Pid, first click: descending
        {0, {"1", "2", "3"}},
    };
    for (const auto &c : clicks) {
        clicker.click(c.column);
        EXPECT_EQ(listed_pids(), c.pids) << c.column;
    }
    // Emptied as the store empties it, so that refreshes write every row again.
    ASSERT_EQ(db.quillmar_db_init(), 0);
    test::gtk::dialog_answerer answerer(g2modules.window);
    clicker.click(3); // an empty table: no dialog
    test::gtk::pump();
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_TRUE(listed_pids().empty());
}

// Switches to the tab and tells when the refresh timer it started is due:
// its period after a moment between the switch's start and end. Read from
// the timer's GLib source; nothing waits for it.
struct timer_due {
    gint64 earliest, latest, due;
};

timer_due switch_to_explorer()
{
    timer_due t{};
    t.earliest = g_get_monotonic_time();
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    t.latest = g_get_monotonic_time();
    GSource *timer = g_main_context_find_source_by_id(nullptr, static_cast<guint>(g2modules.timerid));
    t.due = timer ? g_source_get_ready_time(timer) : -1;
    return t;
}

void expect_period(const timer_due &t, gint64 period)
{
    EXPECT_GE(t.due, t.earliest + period);
    EXPECT_LE(t.due, t.latest + period);
}

TEST_F(GuiTest, ProcessExplorerTabListsTheMachineWhileShown)
{
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    const std::string child_pid = std::to_string(child);
    auto has_child = [&] {
        auto pids = listed_pids();
        return std::find(pids.begin(), pids.end(), child_pid) != pids.end();
    };
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
    test::gtk::dialog_answerer answerer(g2modules.window);
    timer_due first = switch_to_explorer();
    // Listed at once, before the main loop ran again: no timer has fired.
    EXPECT_TRUE(has_child());
    EXPECT_GT(g2modules.timerid, 0);
    expect_period(first, 5000 * G_TIME_SPAN_MILLISECOND);
    EXPECT_GT(GTK_CLIST(g2modules.clist)->rows, 2);
    auto pids = listed_pids();
    EXPECT_TRUE(std::is_sorted(pids.begin(), pids.end(), [](auto &a, auto &b) { return std::stol(a) < std::stol(b); }));
    picture pic = shot("process-explorer-list");
    ASSERT_TRUE(pic);
    EXPECT_GT(colours(pic.get(), title_strip()), 1u);
    EXPECT_GT(colours(pic.get(), rows_area()), 1u);

    // The nested SysRq pages do not touch the timer.
    const int32_t timer = g2modules.timerid;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(test::gtk::nested_notebook()), 2);
    EXPECT_EQ(g2modules.timerid, timer);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(test::gtk::nested_notebook()), 0);

    // The list keeps the child's three files open while it is shown, and
    // none once another tab is.
    EXPECT_EQ(test::open_files_under("/proc/" + child_pid + "/"), 3u);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    EXPECT_EQ(test::open_files_under("/proc/1/"), 0u);
    EXPECT_EQ(g2modules.timerid, -1);
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, static_cast<guint>(timer)), nullptr);
    EXPECT_TRUE(has_child()); // nothing refreshes while another tab is shown
    // Coming back refreshes at once, again before any timer could fire.
    timer_due again = switch_to_explorer();
    EXPECT_FALSE(has_child());
    expect_period(again, 5000 * G_TIME_SPAN_MILLISECOND);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    // A process that ends between the scan and its reads is no failure.
    EXPECT_TRUE(answerer.seen().empty()) << answerer.seen().front().text;
}

// Sleeping processes that end with the test.
class sleepers {
public:
    explicit sleepers(int count)
    {
        char *argv[] = {const_cast<char *>("sleep"), const_cast<char *>("600"), nullptr};
        for (int i = 0; i < count; i++) {
            pid_t pid = -1;
            if (posix_spawn(&pid, "/bin/sleep", nullptr, nullptr, argv, environ) == 0)
                pids_.push_back(pid);
        }
    }
    ~sleepers()
    {
        for (pid_t pid : pids_)
            kill(pid, SIGKILL);
        for (pid_t pid : pids_)
            waitpid(pid, nullptr, 0);
    }
    size_t size() const { return pids_.size(); }

private:
    std::vector<pid_t> pids_;
};

// GTK's own measure of a cell's text.
int cell_width(GtkCList *clist, GList *row, int column)
{
    GtkRequisition req{};
    GTK_CLIST_GET_CLASS(clist)->cell_size_request(clist, static_cast<GtkCListRow *>(row->data), column, &req);
    return req.width;
}

// Name and Cmdline stop growing at a readable width; the others show every
// cell whole.
constexpr int name_cap = 240, cmdline_cap = 480;

void expect_no_cell_cut(GtkCList *clist, const std::string &context)
{
    for (int c = 0; c < clist->columns; c++) {
        const int cap = c == 10 ? name_cap : c == 16 ? cmdline_cap : INT32_MAX;
        const int width = clist->column[c].width;
        int widest = 0, widest_row = -1, r = 0;
        for (GList *row = clist->row_list; row; row = row->next, r++)
            if (int w = cell_width(clist, row, c); w > widest) {
                widest = w;
                widest_row = r;
            }
        // Nor is its title.
        GtkRequisition title{};
        gtk_widget_size_request(gtk_bin_get_child(GTK_BIN(clist->column[c].button)), &title);
        EXPECT_GE(width, title.width) << context << ": the title of column " << c << " is cut";
        EXPECT_GE(width, std::min(widest, cap))
            << context << ": column " << c << " \"" << gtk_clist_get_column_title(clist, c) << "\" is cut at row "
            << widest_row << ", \"" << list_cell(widest_row, c) << "\"";
    }
}

TEST_F(GuiTest, ThousandsOfProcessesKeepTitlesInSightAndNoCellCut)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    test::gtk::dialog_answerer answerer(g2modules.window);
    // Shown once and left: coming back is the common case.
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    test::gtk::pump();
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    test::gtk::pump();
    sleepers extra(3000);
    ASSERT_EQ(extra.size(), 3000u);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    ASSERT_GT(clist->rows, 3000);
    // Shown, the list scrolls over all its rows at once, not only after
    // some later resize.
    GtkAdjustment *v = gtk_clist_get_vadjustment(clist);
    ASSERT_NE(v, nullptr);
    EXPECT_GE(gtk_adjustment_get_upper(v), 1.0 * clist->rows * clist->row_height);
    test::gtk::pump();

    // The list scrolls itself: it is only as high as its window, and draws
    // only the rows in it.
    EXPECT_EQ(gtk_widget_get_parent(g2modules.clist), list_scroller());
    EXPECT_LE(g2modules.clist->allocation.height, list_scroller()->allocation.height);
    EXPECT_LT(clist->clist_window_height, clist->rows * clist->row_height / 10);

    picture top = shot("process-explorer-3000-top");
    gtk_adjustment_set_value(v, gtk_adjustment_get_upper(v) - gtk_adjustment_get_page_size(v));
    test::gtk::pump();
    const gdouble bottom_value = gtk_adjustment_get_value(v);
    EXPECT_GT(bottom_value, 3000.0 * clist->row_height * 0.9);
    picture bottom = shot("process-explorer-3000-bottom");
    ASSERT_TRUE(top && bottom);
    // Scrolled to the bottom, the rows moved and the titles stayed.
    EXPECT_GT(colours(bottom.get(), title_strip()), 1u);
    EXPECT_EQ(pixels(bottom.get(), title_strip()), pixels(top.get(), title_strip()));
    EXPECT_NE(pixels(bottom.get(), rows_area()), pixels(top.get(), rows_area()));
    expect_no_cell_cut(clist, "first refresh");

    // The timer's refresh, made due now, keeps the place in the list.
    GSource *timer = g_main_context_find_source_by_id(nullptr, static_cast<guint>(g2modules.timerid));
    ASSERT_NE(timer, nullptr);
    const gint64 forced = g_get_monotonic_time();
    g_source_set_ready_time(timer, 0);
    ASSERT_TRUE(test::gtk::pump_until([&] { return g_source_get_ready_time(timer) > forced; }));
    EXPECT_NEAR(gtk_adjustment_get_value(v), bottom_value, 20.0 * clist->row_height);
    // So do leaving the tab and coming back.
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    test::gtk::pump();
    EXPECT_NEAR(gtk_adjustment_get_value(v), bottom_value, 20.0 * clist->row_height);
    // The widths may have followed new cells; the titles still stand
    // where they stand at the top.
    picture again = shot("process-explorer-3000-refreshed");
    gtk_adjustment_set_value(v, 0);
    test::gtk::pump();
    picture again_top = shot("process-explorer-3000-refreshed-top");
    ASSERT_TRUE(again && again_top);
    EXPECT_EQ(pixels(again.get(), title_strip()), pixels(again_top.get(), title_strip()));
    expect_no_cell_cut(clist, "later refreshes");
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
}

TEST_F(GuiTest, ColumnsFitTheirWidestCellAndStopAtACap)
{
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    minfo = {.cpu_count = 8, .mtime = 100, .memtotal = 4000};
    proc_info wide{};
    wide.pid = 4194304;
    wide.priority = -100;
    wide.nice = -20;
    wide.state = 'W';
    wide.virt = 123456789012;
    wide.res = 999999;
    wide.shr = 888888;
    wide.cputime = 123456789;
    snprintf(wide.time, sizeof(wide.time), "12345:59.99");
    snprintf(wide.comm, sizeof(wide.comm), "WWWWWWWWWWWWWWW");
    wide.affinity = -1;
    snprintf(wide.cpulist, sizeof(wide.cpulist), "----");
    wide.minflt = wide.cminflt = wide.majflt = wide.cmajflt = 9876543210;
    std::string cmdline(279, 'M');
    snprintf(wide.cmdline, sizeof(wide.cmdline), "%s", cmdline.c_str());
    const gtk2_base_operate &list = *gtk2_get_base_operate();
    list.prepare2_flush_clist(g2modules.clist);
    gtk2_flush_clist(wide);
    proc_info narrow = wide;
    narrow.pid = 1;
    snprintf(narrow.comm, sizeof(narrow.comm), "iiiiiiiiiiiiiiiiiiiiii");
    gtk2_flush_clist(narrow);
    list.finish_flush_clist(g2modules.clist);
    expect_no_cell_cut(clist, "wide cells");
    EXPECT_EQ(clist->column[16].width, cmdline_cap); // far more than the cap
    // No wider than its widest cell or its title needs. (Pid may carry a
    // width set by hand earlier in the run: ColumnResizedByHandKeepsItsWidth.)
    for (int c = 1; c < 16; c++) {
        int widest = 0;
        for (GList *row = clist->row_list; row; row = row->next)
            widest = std::max(widest, cell_width(clist, row, c));
        GtkRequisition title{};
        gtk_widget_size_request(clist->column[c].button, &title);
        EXPECT_LE(clist->column[c].width, std::max(widest, title.width)) << c;
    }
    gtk_clist_clear(GTK_CLIST(g2modules.clist));
}

// A process as the store hands it over; its values follow from its pid.
proc_info listed_process(int64_t pid, const char *comm = nullptr)
{
    proc_info p{};
    p.pid = pid;
    p.priority = 20;
    p.state = 'S';
    p.virt = 1000 + pid;
    p.res = pid % 97;
    p.cputime = pid % 7 * 10;
    snprintf(p.time, sizeof(p.time), "00:%02ld.00", static_cast<long>(pid % 60));
    snprintf(p.comm, sizeof(p.comm), "%s", comm ? comm : ("p" + std::to_string(pid)).c_str());
    p.affinity = 15;
    snprintf(p.cpulist, sizeof(p.cpulist), "0-3");
    p.minflt = pid * 3;
    const std::string cmdline = std::string("/usr/bin/") + p.comm + " --id " + std::to_string(pid);
    snprintf(p.cmdline, sizeof(p.cmdline), "%s", cmdline.c_str());
    return p;
}

// One refresh of the list with these rows, in this order.
void list_rows(const std::vector<proc_info> &rows)
{
    const gtk2_base_operate &list = *gtk2_get_base_operate();
    list.prepare2_flush_clist(g2modules.clist);
    for (const proc_info &p : rows)
        gtk2_flush_clist(p);
    list.finish_flush_clist(g2modules.clist);
}

// What the list shows: every cell's text from the top, and the column widths.
struct list_shown {
    std::vector<std::vector<std::string>> rows;
    std::vector<int> widths;
};

list_shown shown()
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    list_shown s;
    for (GList *link = clist->row_list; link; link = link->next) {
        std::vector<std::string> &row = s.rows.emplace_back();
        for (int c = 0; c < clist->columns; c++) {
            GtkCell &cell = GTK_CLIST_ROW(link)->cell[c];
            row.push_back(cell.type == GTK_CELL_TEXT ? GTK_CELL_TEXT(cell)->text : "(no text)");
        }
    }
    for (int c = 0; c < clist->columns; c++)
        s.widths.push_back(clist->column[c].width);
    return s;
}

std::string cell_of(const list_shown &s, const std::string &pid, int column)
{
    for (const auto &row : s.rows)
        if (row[0] == pid)
            return row[column];
    return "(no row)";
}

// The list's rows as the screen shows them, once every drawing is done.
std::string list_pixels()
{
    GdkWindow *rows = GTK_CLIST(g2modules.clist)->clist_window;
    gdk_window_process_all_updates();
    test::gtk::pump();
    gdk_flush();
    int w = 0, h = 0;
    gdk_drawable_get_size(rows, &w, &h);
    GdkPixbuf *shot = gdk_pixbuf_get_from_drawable(nullptr, rows, nullptr, 0, 0, 0, 0, w, h);
    if (!shot)
        return {};
    std::string pixels(reinterpret_cast<const char *>(gdk_pixbuf_get_pixels(shot)),
                       static_cast<size_t>(gdk_pixbuf_get_rowstride(shot) * h));
    g_object_unref(shot);
    return pixels;
}

TEST_F(GuiTest, RefreshesUpdateTheListInPlaceAndShowWhatARefillShows)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    test::gtk::dialog_answerer answerer(g2modules.window);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    // The rows come from this test, not from the timer.
    ASSERT_GT(g2modules.timerid, 0);
    g_source_remove(static_cast<guint>(g2modules.timerid));
    g2modules.timerid = -1;
    gtk_clist_clear(clist);
    minfo = {.cpu_count = 8, .mtime = 1000, .memtotal = 4000};
    std::vector<proc_info> rows;
    for (int64_t pid = 100; pid < 700; pid += 2)
        rows.push_back(listed_process(pid, pid == 104 ? "the-widest-name-of-all" : pid == 106 ? "then-the-widest" : nullptr));
    list_rows(rows);
    test::gtk::pump();
    // Pid widened by hand (as in ColumnResizedByHandKeepsItsWidth).
    gtk_clist_set_column_width(clist, 0, clist->column[0].width + 37);
    const int pid_width = clist->column[0].width;
    const int name_width = clist->column[10].width;

    GtkAdjustment *v = gtk_clist_get_vadjustment(clist), *h = gtk_clist_get_hadjustment(clist);
    auto count = +[](GtkAdjustment *, gpointer n) { ++*static_cast<int *>(n); };
    const gdouble top = 100.0 * (clist->row_height + 1) + 5, left = 60;
    const struct {
        const char *what;
        gint64 mtime;
        std::vector<int64_t> ended, started;
        std::vector<std::pair<int64_t, int64_t>> cputimes; // pid, new CPU time
        bool by_cpu; // sorted by CPU time, descending
        const char *cpu_300; // pid 300's "CPU %"
    } refreshes[] = {
        // Ended above the view (the widest name among them), below it and
        // last; started first, in between and last.
        {"in place", 2000, {104, 150, 152, 154, 156, 158, 400, 698}, {101, 451, 701, 703}, {{300, 160}}, false,
         "8.00"},
        {"values only", 2000, {}, {}, {{300, 170}, {330, 90}}, false, "8.50"}, // no row moves, one in sight
        {"out of sight", 2000, {600}, {707, 709}, {{330, 91}}, false, "8.50"}, // rows come and go below the view
        {"re-sorted", 4000, {500}, {705}, {}, true, "4.25"}, // most rows move
        {"one moved up", 4000, {}, {}, {{302, 500}}, true, "4.25"},
    };
    for (const auto &r : refreshes) {
        // Where the user left the view, and a row selected there, in sight.
        gtk_adjustment_set_value(v, top);
        gtk_adjustment_set_value(h, left);
        ASSERT_EQ(gtk_adjustment_get_value(v), top);
        ASSERT_EQ(gtk_adjustment_get_value(h), left);
        gtk_clist_select_row(clist, 110, -1);
        clist->focus_row = 110; // no call sets it, nor draws it
        gtk_widget_queue_draw(GTK_WIDGET(clist));
        const std::string selected = list_cell(110, 0);
        test::gtk::pump();

        minfo.mtime = r.mtime;
        std::erase_if(rows, [&](const proc_info &p) { return std::ranges::count(r.ended, p.pid) > 0; });
        for (int64_t pid : r.started)
            rows.push_back(listed_process(pid));
        for (proc_info &p : rows) {
            if (p.pid == 200)
                snprintf(p.comm, sizeof(p.comm), "renamed");
            if (p.pid == 106 && r.by_cpu) // the widest name narrows
                snprintf(p.comm, sizeof(p.comm), "p106");
            for (auto [pid, cputime] : r.cputimes)
                if (p.pid == pid)
                    p.cputime = cputime;
        }
        std::ranges::sort(rows, [&](const proc_info &a, const proc_info &b) {
            return r.by_cpu && a.cputime != b.cputime ? a.cputime > b.cputime : a.pid < b.pid;
        });
        // The view stays put throughout, not only in the end.
        int jumps = 0;
        const gulong vh = g_signal_connect(v, "value-changed", G_CALLBACK(count), &jumps);
        const gulong hh = g_signal_connect(h, "value-changed", G_CALLBACK(count), &jumps);
        list_rows(rows);
        g_signal_handler_disconnect(v, vh);
        g_signal_handler_disconnect(h, hh);
        const list_shown in_place = shown();
        // The update drew what a redraw of the whole list draws, and its
        // scroll bar spans the list.
        const gdouble upper = gtk_adjustment_get_upper(v);
        const std::string drawn = list_pixels();
        gdk_window_invalidate_rect(clist->clist_window, nullptr, FALSE);
        EXPECT_FALSE(drawn.empty());
        EXPECT_TRUE(drawn == list_pixels()) << r.what << ": the screen is not what a redraw shows";
        EXPECT_EQ(jumps, 0) << r.what << ": the view moved";
        EXPECT_EQ(gtk_adjustment_get_value(v), top) << r.what;
        EXPECT_EQ(gtk_adjustment_get_value(h), left) << r.what;
        EXPECT_EQ(in_place.widths[0], pid_width) << r.what;
        ASSERT_EQ(g_list_length(clist->selection), 1u) << r.what;
        EXPECT_EQ(list_cell(GPOINTER_TO_INT(clist->selection->data), 0), selected) << r.what;
        EXPECT_EQ(list_cell(clist->focus_row, 0), selected) << r.what;
        std::vector<std::string> pids, expected;
        for (const auto &row : in_place.rows)
            pids.push_back(row[0]);
        for (const proc_info &p : rows)
            expected.push_back(std::to_string(p.pid));
        EXPECT_EQ(pids, expected) << r.what;
        EXPECT_EQ(cell_of(in_place, "200", 10), "renamed") << r.what;
        EXPECT_EQ(cell_of(in_place, "300", 7), r.cpu_300) << r.what;
        // The widest name ended in the first refresh, the next one narrowed.
        EXPECT_LT(in_place.widths[10], name_width) << r.what;

        // A refill into the empty list shows the same.
        gtk_clist_clear(clist);
        list_rows(rows);
        const list_shown refill = shown();
        EXPECT_EQ(upper, gtk_adjustment_get_upper(v)) << r.what;
        EXPECT_EQ(in_place.widths, refill.widths) << r.what;
        ASSERT_EQ(in_place.rows.size(), refill.rows.size()) << r.what;
        for (size_t i = 0; i < refill.rows.size(); i++)
            EXPECT_EQ(in_place.rows[i], refill.rows[i]) << r.what << ", row " << i;
    }
    gtk_clist_clear(clist);
    gtk_adjustment_set_value(h, 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
}

TEST_F(GuiTest, ColumnResizedByHandKeepsItsWidth)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    test::gtk::dialog_answerer answerer(g2modules.window);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    test::gtk::pump();
    // Drag the right edge of the "Pid" title 150 pixels to the right.
    gtk_adjustment_set_value(gtk_clist_get_hadjustment(clist), 0);
    test::gtk::pump();
    int x = 0, y = 0, w = 0, h = 0;
    gdk_window_get_origin(clist->column[0].window, &x, &y);
    gdk_drawable_get_size(clist->column[0].window, &w, &h);
    const int before = clist->column[0].width;
    auto xdotool = [](std::vector<std::string> args) {
        args.insert(args.begin(), "/usr/bin/xdotool");
        auto r = test::run(args);
        test::gtk::pump();
        EXPECT_EQ(r.status, 0) << args[1] << " " << (args.size() > 3 ? args[3] : "") << ": " << r.err;
        return r.status;
    };
    ASSERT_EQ(xdotool({"mousemove", "--sync", std::to_string(x + w / 2), std::to_string(y + h / 2)}), 0);
    ASSERT_EQ(xdotool({"mousedown", "1"}), 0);
    for (int step = 1; step <= 5; step++)
        ASSERT_EQ(xdotool({"mousemove", "--sync", std::to_string(x + w / 2 + 30 * step), std::to_string(y + h / 2)}), 0);
    ASSERT_EQ(xdotool({"mouseup", "1"}), 0);
    ASSERT_TRUE(test::gtk::pump_until([&] { return clist->column[0].width >= before + 100; }))
        << before << " -> " << clist->column[0].width;
    const int dragged = clist->column[0].width;
    // Refreshes and re-sorting keep it.
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    EXPECT_EQ(clist->column[0].width, dragged);
    {
        column_clicker clicker;
        clicker.click(0);
        EXPECT_EQ(clist->column[0].width, dragged);
    }
    EXPECT_EQ(clist->column[0].width, dragged);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
}

// Counts what GLib's log gets from Pango and GTK while it lives.
class log_catcher {
public:
    log_catcher()
    {
        for (const char *domain : {"Pango", "Gtk", "Gdk", "GLib"})
            ids_.emplace_back(domain, g_log_set_handler(domain, GLogLevelFlags(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL |
                                                                               G_LOG_FLAG_RECURSION),
                                                        catch_message, this));
    }
    ~log_catcher()
    {
        for (auto &[domain, id] : ids_)
            g_log_remove_handler(domain, id);
    }
    const std::vector<std::string> &messages() const { return messages_; }

private:
    static void catch_message(const gchar *domain, GLogLevelFlags, const gchar *message, gpointer self)
    {
        static_cast<log_catcher *>(self)->messages_.push_back(std::string(domain) + ": " + message);
    }
    std::vector<std::pair<const char *, guint>> ids_;
    std::vector<std::string> messages_;
};

std::string stored_comm(pid_t pid)
{
    sqlite3 *raw = nullptr;
    std::string comm = "(no row)";
    if (sqlite3_open_v2(paths::process_db, &raw, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(raw, "SELECT Comm FROM ProcInfo WHERE Pid = ?;", -1, &stmt, nullptr) == SQLITE_OK) {
            sqlite3_bind_int64(stmt, 1, pid);
            if (sqlite3_step(stmt) == SQLITE_ROW)
                comm.assign(static_cast<const char *>(sqlite3_column_blob(stmt, 0)),
                            static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(raw);
    return comm;
}

TEST_F(GuiTest, NamesThatAreNotUtf8AreShownSafelyAndStoredAsRead)
{
    // Two bytes that never start a character, and a sequence cut short.
    static const char name[] = "vask\xff\xfe" "bad\xc3";
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, name);
        for (;;)
            pause();
    }
    const std::string comm_file = "/proc/" + std::to_string(child) + "/comm";
    ASSERT_TRUE(test::gtk::pump_until([&] { return test::read_file(comm_file) == std::string(name) + "\n"; }));

    GtkCList *clist = GTK_CLIST(g2modules.clist);
    test::gtk::dialog_answerer answerer(g2modules.window);
    picture pic;
    int row = -1;
    {
        log_catcher log;
        // The assistant's own log, on standard error here, shows the
        // statement that stored the name.
        const std::string logged = test::capture_stderr(
            [] { gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1); });
        EXPECT_TRUE(g_utf8_validate(logged.data(), static_cast<gssize>(logged.size()), nullptr));
        EXPECT_NE(logged.find("'vask\xef\xbf\xbd\xef\xbf\xbd" "bad\xef\xbf\xbd'"), std::string::npos);
        const auto pids = listed_pids();
        row = static_cast<int>(std::find(pids.begin(), pids.end(), std::to_string(child)) - pids.begin());
        ASSERT_LT(row, clist->rows);
        // Drawn: the row is brought into sight and the window painted.
        gtk_clist_moveto(clist, row, 10, 0.5, 0.0);
        test::gtk::pump();
        pic = shot("process-explorer-not-utf8");
        EXPECT_EQ(log.messages(), std::vector<std::string>{});
    }
    // U+FFFD for each byte that is not UTF-8.
    EXPECT_EQ(list_cell(row, 10), "vask\xef\xbf\xbd\xef\xbf\xbd" "bad\xef\xbf\xbd");
    EXPECT_EQ(stored_comm(child), name);
    ASSERT_TRUE(pic);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    gtk_adjustment_set_value(gtk_clist_get_vadjustment(clist), 0);
    gtk_adjustment_set_value(gtk_clist_get_hadjustment(clist), 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
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


// A named process of the test's own, whose parent reaps it once it ends, so
// that it leaves the list; it ends with the test.
class named_child {
public:
    // With at, the child gets that pid: the run's pid namespace is its own,
    // and nothing else in it starts a process or a thread meanwhile.
    explicit named_child(const char *name, bool ignores_term = false, uid_t uid = 0, pid_t at = 0)
    {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        if ((parent_ = fork()) == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (at > 0) {
                const std::string last = std::to_string(at - 1);
                const int fd = open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
                if (fd < 0 || write(fd, last.data(), last.size()) != static_cast<ssize_t>(last.size()))
                    _exit(1);
                close(fd);
            }
            if (fork() == 0) {
                // A new uid clears the parent-death signal: set after it.
                if (setresuid(uid, uid, uid) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 ||
                    prctl(PR_SET_NAME, name) != 0 ||
                    (ignores_term && signal(SIGTERM, SIG_IGN) == SIG_ERR))
                    _exit(1);
                const pid_t self = getpid();
                (void)!write(fds[1], &self, sizeof(self));
                for (;;)
                    pause();
            }
            _exit(wait(nullptr) < 0);
        }
        close(fds[1]);
        EXPECT_EQ(read(fds[0], &pid_, sizeof(pid_)), static_cast<ssize_t>(sizeof(pid_)));
        close(fds[0]);
    }
    ~named_child() { end(); }
    // Ended and reaped, its parent too: both pids are free.
    void end()
    {
        if (parent_ <= 0)
            return;
        kill(pid_ > 0 ? pid_ : parent_, SIGKILL);
        waitpid(parent_, nullptr, 0);
        parent_ = -1;
    }
    pid_t pid_ = -1;
    std::string id() const { return std::to_string(pid_); }
    char state() const // from /proc, not from the list
    {
        const std::string stat = test::read_file("/proc/" + id() + "/stat");
        return stat.rfind(") ") == std::string::npos ? 0 : stat[stat.rfind(") ") + 2];
    }

private:
    pid_t parent_ = -1;
};

int row_of(pid_t pid)
{
    const auto pids = listed_pids();
    const auto at = std::find(pids.begin(), pids.end(), std::to_string(pid));
    return at == pids.end() ? -1 : static_cast<int>(at - pids.begin());
}

std::string shown(pid_t pid, int column) // "(gone)" once not listed
{
    return row_of(pid) < 0 ? "(gone)" : list_cell(row_of(pid), column);
}

void xdo(std::vector<std::string> args)
{
    args.insert(args.begin(), "/usr/bin/xdotool");
    EXPECT_EQ(test::run(args).status, 0) << args[1];
    test::gtk::pump();
}

// A click on the process's row, scrolled into view, as a person would, and
// then the keys.
void on_row(pid_t pid, int button, std::vector<std::string> keys)
{
    GtkCList *clist = GTK_CLIST(g2modules.clist);
    const int row = row_of(pid);
    ASSERT_GE(row, 0) << pid << " is not listed";
    gtk_clist_moveto(clist, row, -1, 0.5, 0);
    test::gtk::pump();
    int x = 0, y = 0;
    gdk_window_get_origin(clist->clist_window, &x, &y);
    y += (clist->row_height + 1) * row + 1 + clist->voffset + clist->row_height / 2;
    // (A move with --sync to where the pointer already is never ends.)
    xdo({"mousemove", "0", "0", "mousemove", "--sync", std::to_string(x + 20), std::to_string(y), "click",
         std::to_string(button)});
    for (const std::string &key : keys)
        xdo({"key", key});
}

// Root acting as a user without the rights to signal and raise the priority
// of another's process, in the test's thread, or root again.
void act_as_user(bool user)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct caps[2] = {};
    EXPECT_EQ(syscall(SYS_capget, &header, caps), 0);
    const uint32_t rights = (1u << CAP_KILL) | (1u << CAP_SYS_NICE);
    caps[0].effective = user ? caps[0].effective & ~rights : caps[0].effective | rights;
    EXPECT_EQ(syscall(SYS_capset, &header, caps), 0);
}

TEST_F(GuiTest, RowMenuActsOnTheChosenProcessOnly)
{
    named_child chosen("vask-chosen"), stubborn("vask-stubborn", true), gone("vask-gone");
    const pid_t pid = chosen.pid_;
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    // Only the actions refresh the list from here on: the timer waits an hour.
    g_source_remove(static_cast<guint>(g2modules.timerid));
    g2modules.timerid = static_cast<int32_t>(g_timeout_add_seconds(3600, [](gpointer) -> gboolean { return TRUE; }, nullptr));
    ASSERT_EQ(shown(pid, 3), "S");
    // The keys go to the window, as once a window manager has given it the
    // focus.
    gtk_window_present(GTK_WINDOW(g2modules.window));

    // Stop from the pointer's menu; the row stays chosen, and the keyboard's
    // menu continues it; Low is nice 5.
    on_row(pid, 3, {"s"});
    EXPECT_TRUE(test::gtk::pump_until([&] { return shown(pid, 3) == "T"; })) << shown(pid, 3);
    EXPECT_EQ(chosen.state(), 'T');
    xdo({"key", "shift+F10"});
    xdo({"key", "c"});
    EXPECT_TRUE(test::gtk::pump_until([&] { return shown(pid, 3) == "S"; })) << shown(pid, 3);
    on_row(pid, 3, {"p", "l"});
    EXPECT_TRUE(test::gtk::pump_until([&] { return shown(pid, 2) == "5"; })) << shown(pid, 2);

    // Delete ends it once the user has said yes to the process named; Kill
    // ends what ignores SIGTERM.
    auto answered = [&](const test::gtk::dialog_answerer &a, size_t count) {
        EXPECT_TRUE(test::gtk::pump_until([&] { return a.seen().size() >= count; }));
        std::vector<std::string> said;
        for (const auto &d : a.seen())
            said.push_back(d.text.substr(0, d.text.find('\n'))); // a question's first line
        return said;
    };
    {
        test::gtk::dialog_answerer yes(g2modules.window);
        xdo({"key", "Delete"});
        EXPECT_TRUE(test::gtk::pump_until([&] { return row_of(pid) < 0; }));
        on_row(stubborn.pid_, 3, {"k"});
        EXPECT_TRUE(test::gtk::pump_until([&] { return row_of(stubborn.pid_) < 0; }));
        EXPECT_EQ(answered(yes, 2), std::vector<std::string>({"End process " + chosen.id() + " (vask-chosen)?",
                                                              "Kill process " + stubborn.id() + " (vask-stubborn)?"}));
    }

    // While the question is open the process ends and its pid goes to
    // another program: the yes reaches neither. Its row, still shown, names
    // another program then.
    const pid_t reused = gone.pid_;
    std::unique_ptr<named_child> other;
    {
        test::gtk::dialog_answerer yes(g2modules.window, [&] {
            if (other)
                return;
            gone.end();
            other = std::make_unique<named_child>("vask-other", false, 0, reused);
        });
        on_row(reused, 3, {"k"});
        answered(yes, 2);
        ASSERT_TRUE(other);
        ASSERT_EQ(other->pid_, reused);
        on_row(reused, 3, {"s"});
        EXPECT_EQ(answered(yes, 3),
                  std::vector<std::string>(
                      {"Kill process " + other->id() + " (vask-gone)?",
                       "Process " + other->id() + " (vask-gone) has ended: nothing was done.",
                       "Process " + other->id() + " (vask-gone) has ended, and its pid now belongs to another program "
                                                  "(vask-other): nothing was done."}));
    }
    EXPECT_EQ(other->state(), 'S');

    // What the user may not do is refused, with the reason.
    named_child stranger("vask-stranger", false, 65534);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 1);
    act_as_user(true);
    {
        test::gtk::dialog_answerer ok(g2modules.window);
        on_row(stranger.pid_, 3, {"s"});
        on_row(other->pid_, 3, {"p", "v"});
        EXPECT_EQ(answered(ok, 2),
                  std::vector<std::string>({"Not permitted: process " + stranger.id() + " belongs to another user",
                                            "Not permitted: a higher priority for process " + other->id() +
                                                " needs root"}));
    }
    act_as_user(false);
    EXPECT_EQ(stranger.state(), 'S');
    gtk_notebook_set_current_page(GTK_NOTEBOOK(g2modules.notebook), 0);
    xdo({"mousemove", "0", "0"}); // nothing lit up under the pointer for the next test
}

} // namespace
