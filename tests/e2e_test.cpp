// End to end: the real ostrivel daemon and the assistant's real window on one
// simulated board, clicked with real pointer events through the X server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/msg.h>

#include "common/ipc.h"
#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "quillmar/ipc.h"
#include "support.h"

namespace {

void click(GtkWidget *widget)
{
    int x = 0, y = 0;
    test::gtk::screen_centre(widget, x, y);
    auto r = test::run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
}

std::string label(int i)
{
    return test::gtk::label_text(g2modules.labels[i]);
}

TEST(EndToEnd, FeatureButtonsDriveTheBoardThroughTheService)
{
    ASSERT_NE(getenv("DISPLAY"), nullptr) << "the window tests need an X server (scripts/test runs Xvfb)";
    test::board::lay();
    auto daemon = std::make_unique<test::process>(std::vector<std::string>{test::bin("ostrivel")});
    ASSERT_TRUE(test::wait_until_receiving(daemon->pid()));

    // The assistant's start, as gui_run does it, with the main loop run here.
    server_init();
    quillmar_db_operate db = db_get_operate();
    quillmar_gui_operate gui = gui_get_gtk2_operate(db);
    gui.quillmar_gui_create_window();
    gui.quillmar_gui_signal_handle();
    g2modules.dbstat = db.quillmar_db_init();
    notifier_register(notifier_gui_update, gui.quillmar_gui_update);
    g_idle_add([](gpointer) -> gboolean { gtk_main_quit(); return G_SOURCE_REMOVE; }, nullptr);
    gui.quillmar_gui_run(g2modules.dbstat); // sends "0", shows the window, returns at the idle
    test::gtk::dialog_answerer answerer(g2modules.window);

    // The reply to "0": OTG, SD card, SysRq enabled.
    ASSERT_TRUE(test::gtk::pump_until([] { return label(2) == " OTG"; })) << label(2);
    EXPECT_EQ(label(3), " SD Card");
    EXPECT_EQ(label(4), " SysRq");
    ASSERT_TRUE(test::gtk::pump_until([] { return GTK_WIDGET_REALIZED(g2modules.base_btns[2]); }));

    click(g2modules.base_btns[2]);
    ASSERT_TRUE(test::gtk::pump_until([] { return test::board::otg_mode() == "host"; })) << test::board::otg_mode();
    ASSERT_TRUE(test::gtk::pump_until([] { return label(2) == " Host"; })) << label(2);

    click(g2modules.base_btns[3]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(3) == " JTAG & UART"; })) << label(3);
    EXPECT_EQ(test::board::reg(test::board::iomux), 0xffff11aau);

    click(g2modules.base_btns[4]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(4) == " NonRq"; })) << label(4);
    EXPECT_EQ(test::board::sysrq(), "0");

    click(g2modules.base_btns[2]);
    ASSERT_TRUE(test::gtk::pump_until([] { return label(2) == " OTG"; })) << label(2);
    EXPECT_EQ(test::board::otg_mode(), "otg");
    ASSERT_TRUE(test::gtk::screenshot(g2modules.window, "end-to-end"));

    // With the service stopped a request still goes into its queue: nothing
    // changes and no dialog comes.
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(), 15);
    const int requests = test::wire::request_queue();
    test::wire::drain(requests);
    click(g2modules.base_btns[0]);
    EXPECT_TRUE(test::gtk::pump_until([&] {
        struct msqid_ds ds;
        return msgctl(requests, IPC_STAT, &ds) == 0 && ds.msg_qnum == 1;
    }));
    test::gtk::pump();
    EXPECT_EQ(label(2), " OTG");
    EXPECT_EQ(label(3), " JTAG & UART");
    EXPECT_EQ(label(4), " NonRq");
    EXPECT_TRUE(answerer.seen().empty());
    EXPECT_EQ(test::wire::receive(requests), "0");
}

} // namespace
