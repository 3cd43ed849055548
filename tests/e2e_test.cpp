// End to end: the real ostrivel daemon and the assistant's real window on one
// simulated board, clicked with real pointer events through the X server.
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <signal.h>
#include <sys/msg.h>
#include <thread>

#include "common/ipc.h"
#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "paths.h"
#include "quillmar.h"
#include "quillmar/ipc.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

// The request texts of the buttons used here.
constexpr int update_btn = 0, otg_btn = 2, pins_btn = 3, sysrq_feature_btn = 4;
constexpr int sysrq_t_btn = 1, sysrq_m_btn = 3, log_level_5_btn = 30, log_level_7_btn = 32;
constexpr int log_level_page = 2;

void click(GtkWidget *widget)
{
    ASSERT_TRUE(test::gtk::pump_until([&] { return GTK_WIDGET_MAPPED(widget); }));
    int x = 0, y = 0;
    test::gtk::screen_centre(widget, x, y);
    // Off the spot first: a move with --sync to where the pointer already is
    // waits for a motion that never comes.
    auto r = test::run({"/usr/bin/xdotool", "mousemove", std::to_string(x + 1), std::to_string(y + 1), "mousemove",
                        "--sync", std::to_string(x), std::to_string(y), "click", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
}

// Out of the window, so that no button is drawn lit up in a screenshot.
void pointer_away()
{
    auto r = test::run({"/usr/bin/xdotool", "mousemove", "1269", "1009", "mousemove", "--sync", "1270", "1010"});
    ASSERT_EQ(r.status, 0) << r.err;
    test::gtk::pump();
}

std::string label(int i)
{
    return test::gtk::label_text(g2modules.labels[i]);
}

std::vector<std::string> feature_labels()
{
    return {label(otg_btn), label(pins_btn), label(sysrq_feature_btn)};
}

const std::vector<std::string> all_on = {" OTG", " JTAG & UART", " SysRq"};

size_t waiting(int msgid)
{
    struct msqid_ds ds;
    return msgctl(msgid, IPC_STAT, &ds) == 0 ? ds.msg_qnum : 0;
}

// The threads that changed the feature buttons' texts.
std::mutex relabel_mutex;
std::vector<std::thread::id> relabel_threads;

void on_relabel(GObject *, GParamSpec *, gpointer)
{
    std::lock_guard lock(relabel_mutex);
    relabel_threads.push_back(std::this_thread::get_id());
}

// A window picture's pixels inside widget, kept to compare with another.
struct region {
    std::vector<guchar> pixels;
    bool operator==(const region &) const = default;
};

region region_of(const std::string &shot_name, GtkWidget *widget)
{
    const std::string path = std::string(VASK_BUILD_DIR) + "/screenshots/" + shot_name + ".png";
    GdkPixbuf *shot = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    region r;
    if (!shot)
        return r;
    int x = 0, y = 0;
    gtk_widget_translate_coordinates(widget, g2modules.window, 0, 0, &x, &y);
    const int channels = gdk_pixbuf_get_n_channels(shot), stride = gdk_pixbuf_get_rowstride(shot);
    const guchar *pixels = gdk_pixbuf_get_pixels(shot);
    for (int row = y; row < y + widget->allocation.height && row < gdk_pixbuf_get_height(shot); row++)
        for (int col = x; col < x + widget->allocation.width && col < gdk_pixbuf_get_width(shot); col++)
            for (int c = 0; c < 3; c++)
                r.pixels.push_back(pixels[row * stride + col * channels + c]);
    g_object_unref(shot);
    return r;
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "the window tests need an X server (scripts/test runs Xvfb)";
        test::board::lay();
        // The assistant's start, as gui_run does it, with the main loop run here.
        server_init();
        ASSERT_TRUE(test::wait_until_receiving(getpid()));
        quillmar_db_operate db = db_get_operate();
        gui = gui_get_gtk2_operate(db, quillmar_clean_up);
        gui.quillmar_gui_create_window();
        gui.quillmar_gui_signal_handle();
        g2modules.dbstat = db.quillmar_db_init();
        notifier_register(notifier_gui_update, gui.quillmar_gui_update);
        notifier_register(notifier_sysrq_failed, gui.quillmar_gui_sysrq_failed);
        for (int i = otg_btn; i <= sysrq_feature_btn; i++)
            g_signal_connect(g2modules.labels[i], "notify::label", G_CALLBACK(on_relabel), nullptr);
    }

    // A board in the state the options give, its service started, and the
    // window shown with the reply to the status request the start sends.
    void start(const std::vector<std::string> &board, const std::vector<std::string> &labels)
    {
        test::board::lay(board);
        start_service();
        static bool shown = false;
        if (!shown) {
            g_idle_add([](gpointer) -> gboolean { gtk_main_quit(); return G_SOURCE_REMOVE; }, nullptr);
            gui.quillmar_gui_run(g2modules.dbstat); // sends "0", shows the window, returns at the idle
            shown = true;
        } else {
            click(g2modules.base_btns[update_btn]);
        }
        ASSERT_TRUE(test::gtk::pump_until([&] { return feature_labels() == labels; })) << label(otg_btn);
        gtk_notebook_set_current_page(GTK_NOTEBOOK(test::gtk::nested_notebook()), 0);
    }

    void start_service()
    {
        daemon = std::make_unique<test::process>(std::vector<std::string>{test::bin("ostrivel")});
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
    }

    void stop_service()
    {
        daemon->signal(SIGTERM);
        EXPECT_EQ(daemon->wait(), 15);
        daemon.reset();
    }

    // Waits until the service has answered every request sent and the
    // window has done with every reply.
    void answered()
    {
        const int requests = test::wire::request_queue(), replies = test::wire::reply_queue();
        ASSERT_TRUE(test::eventually([&] { return waiting(requests) == 0; }));
        ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));
        ASSERT_TRUE(test::eventually([&] { return waiting(replies) == 0; }));
        ASSERT_TRUE(test::wait_until_receiving(getpid()));
        test::gtk::pump();
    }

    void TearDown() override
    {
        if (daemon)
            stop_service();
    }

    static inline quillmar_gui_operate gui;
    std::unique_ptr<test::process> daemon;
};

TEST_F(EndToEnd, FeatureButtonsDriveTheBoardThroughTheService)
{
    // OTG, SD card, SysRq enabled.
    start({}, {" OTG", " SD Card", " SysRq"});
    test::gtk::dialog_answerer answerer(g2modules.window);

    click(g2modules.base_btns[otg_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::otg_mode() == "host"; })) << test::board::otg_mode();
    ASSERT_TRUE(test::gtk::pump_until([] { return label(otg_btn) == " Host"; })) << label(otg_btn);

    click(g2modules.base_btns[pins_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(pins_btn) == " JTAG & UART"; })) << label(pins_btn);
    EXPECT_EQ(test::board::reg(test::board::iomux), 0xffff11aau);

    click(g2modules.base_btns[sysrq_feature_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(sysrq_feature_btn) == " NonRq"; })) << label(sysrq_feature_btn);
    EXPECT_EQ(test::board::sysrq(), "0");

    click(g2modules.base_btns[otg_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(otg_btn) == " OTG"; })) << label(otg_btn);
    EXPECT_EQ(test::board::otg_mode(), "otg");
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "end-to-end"));

    // With the service stopped a request still goes into its queue: nothing
    // changes and no dialog comes.
    stop_service();
    const int requests = test::wire::request_queue();
    test::wire::drain(requests);
    click(g2modules.base_btns[update_btn]);
    EXPECT_TRUE(test::gtk::pump_until([&] { return waiting(requests) == 1; }));
    test::gtk::pump();
    EXPECT_EQ(feature_labels(), (std::vector<std::string>{" OTG", " JTAG & UART", " NonRq"}));
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_EQ(test::wire::receive(requests), "0");
}

TEST_F(EndToEnd, SysRqButtonsLeaveTheFeatureButtonsAsTheyAre)
{
    start({"--pins", "jtag"}, all_on);
    test::gtk::dialog_answerer answerer(g2modules.window);
    {
        std::lock_guard lock(relabel_mutex);
        relabel_threads.clear();
    }

    click(g2modules.sysrq_btns[sysrq_t_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::trigger() == "t"; })) << test::board::trigger();
    answered();
    EXPECT_EQ(feature_labels(), all_on);

    gtk_notebook_set_current_page(GTK_NOTEBOOK(test::gtk::nested_notebook()), log_level_page);
    click(g2modules.sysrq_btns[log_level_5_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::trigger() == "5"; })) << test::board::trigger();
    answered();
    EXPECT_EQ(feature_labels(), all_on);
    EXPECT_TRUE(answerer.seen().empty()); // the kernel took both
    pointer_away();
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "feature-buttons-all-on"));

    click(g2modules.base_btns[sysrq_feature_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::sysrq() == "0"; })) << test::board::sysrq();
    ASSERT_TRUE(test::gtk::pump_until([] { return label(sysrq_feature_btn) == " NonRq"; })) << label(sysrq_feature_btn);
    EXPECT_EQ(feature_labels(), (std::vector<std::string>{" OTG", " JTAG & UART", " NonRq"}));
    EXPECT_TRUE(test::gtk::image_shows(g2modules.imgs[sysrq_feature_btn], paths::icon_non_sysrq));
    pointer_away();
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "feature-buttons-sysrq-off"));

    // On screen: the SysRq button's picture and text changed, the other two
    // buttons did not.
    const char *before = "feature-buttons-all-on", *after = "feature-buttons-sysrq-off";
    EXPECT_FALSE(region_of(before, g2modules.base_btns[sysrq_feature_btn]).pixels.empty());
    EXPECT_NE(region_of(before, g2modules.imgs[sysrq_feature_btn]), region_of(after, g2modules.imgs[sysrq_feature_btn]));
    EXPECT_NE(region_of(before, g2modules.labels[sysrq_feature_btn]),
              region_of(after, g2modules.labels[sysrq_feature_btn]));
    EXPECT_EQ(region_of(before, g2modules.base_btns[otg_btn]), region_of(after, g2modules.base_btns[otg_btn]));
    EXPECT_EQ(region_of(before, g2modules.base_btns[pins_btn]), region_of(after, g2modules.base_btns[pins_btn]));

    // Widgets change only on the thread that runs the main loop.
    std::lock_guard lock(relabel_mutex);
    EXPECT_FALSE(relabel_threads.empty());
    for (auto id : relabel_threads)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(EndToEnd, RestartOfTheServiceLeavesTheFeatureButtonsTrue)
{
    start({"--pins", "jtag"}, all_on);
    const std::string sysrq_before = test::board::sysrq();

    click(g2modules.sysrq_btns[sysrq_t_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::trigger() == "t"; })) << test::board::trigger();
    answered();

    // Down: the toggle waits in the service's queue; the start of the
    // service removes it unanswered.
    stop_service();
    const int requests = test::wire::request_queue();
    click(g2modules.base_btns[sysrq_feature_btn]);
    ASSERT_TRUE(test::gtk::pump_until([&] { return waiting(requests) == 1; }));
    start_service();
    EXPECT_EQ(test::board::sysrq(), sysrq_before);

    click(g2modules.sysrq_btns[sysrq_m_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::trigger() == "m"; })) << test::board::trigger();
    answered();
    EXPECT_EQ(feature_labels(), all_on);

    click(g2modules.base_btns[update_btn]);
    answered();
    EXPECT_EQ(feature_labels(), all_on);

    click(g2modules.base_btns[sysrq_feature_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::sysrq() == "0"; })) << test::board::sysrq();
    ASSERT_TRUE(test::gtk::pump_until([] { return label(sysrq_feature_btn) == " NonRq"; })) << label(sysrq_feature_btn);
    EXPECT_EQ(feature_labels(), (std::vector<std::string>{" OTG", " JTAG & UART", " NonRq"}));
}

TEST_F(EndToEnd, AFailedSendLeavesTheFeatureButtonsTrue)
{
    start({"--pins", "jtag"}, all_on);
    test::gtk::dialog_answerer answerer(g2modules.window);
    const std::string key = paths::ostrivel_ipc_key;
    fs::rename(key, key + ".away");
    click(g2modules.sysrq_btns[sysrq_t_btn]);
    const bool dialog = test::gtk::pump_until([&] { return answerer.seen().size() == 1; });
    fs::rename(key + ".away", key);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(answerer.seen()[0].text.starts_with("IPC failure with ostrivel service\n")) << answerer.seen()[0].text;
    EXPECT_NE(answerer.seen()[0].text.find("sudo apt install ostrivel"), std::string::npos);
    EXPECT_EQ(test::board::trigger(), "");

    // Stopped: the request waits in the service's queue, and the window
    // says why once it has waited too long; the start discards it.
    stop_service();
    click(g2modules.sysrq_btns[sysrq_t_btn]);
    ASSERT_TRUE(test::gtk::pump_until([&] { return answerer.seen().size() == 2; }));
    EXPECT_TRUE(answerer.seen()[1].text.starts_with("IPC failure with ostrivel service\n")) << answerer.seen()[1].text;
    EXPECT_NE(answerer.seen()[1].text.find("sudo systemctl start ostrivel"), std::string::npos);
    start_service();
    EXPECT_EQ(test::board::trigger(), "");

    click(g2modules.base_btns[sysrq_feature_btn]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::sysrq() == "0"; })) << test::board::sysrq();
    ASSERT_TRUE(test::gtk::pump_until([] { return label(sysrq_feature_btn) == " NonRq"; })) << label(sysrq_feature_btn);
    answered();
    EXPECT_EQ(feature_labels(), (std::vector<std::string>{" OTG", " JTAG & UART", " NonRq"}));
}

TEST_F(EndToEnd, AFailedSysRqCommandShowsAnErrorDialog)
{
    // Not all bits set: a "-1" taken for feature bits would show JTAG.
    const std::vector<std::string> features = {" OTG", " SD Card", " SysRq"};
    start({}, features);
    // In the service's place, one whose write to the SysRq trigger fails.
    stop_service();
    const int requests = test::wire::request_queue(), replies = test::wire::reply_queue();
    test::gtk::dialog_answerer answerer(g2modules.window);

    gtk_notebook_set_current_page(GTK_NOTEBOOK(test::gtk::nested_notebook()), log_level_page);
    click(g2modules.sysrq_btns[log_level_7_btn]);
    ASSERT_TRUE(test::gtk::pump_until([&] { return waiting(requests) == 1; }));
    EXPECT_EQ(test::wire::receive(requests), "7l");
    ASSERT_TRUE(test::wire::send(replies, "-1"));
    ASSERT_TRUE(test::gtk::pump_until([&] { return !answerer.seen().empty(); }));
    test::gtk::pump();
    ASSERT_EQ(answerer.seen().size(), 1u);
    EXPECT_EQ(answerer.seen()[0].title, "Error");
    EXPECT_EQ(answerer.seen()[0].type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(answerer.seen()[0].text, "SysRq command 7l failed in ostrivel service");
    EXPECT_EQ(feature_labels(), features);
}

} // namespace
