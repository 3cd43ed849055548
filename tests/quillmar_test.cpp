// The real quillmar binary as a process: its command line, its exit statuses
// and its log, under a real X server.
#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gdk-pixbuf/gdk-pixbuf.h>

#include "gtk_support.h"
#include "paths.h"
#include "support.h"
#include "unique_fd.h"

#include <X11/Xlib.h>

namespace fs = std::filesystem;

namespace {

const std::string log_path = test::sysroot("/opt/vask/logs/quillmar0.log");

class QuillmarTest : public ::testing::Test {
protected:
    // An X server resets when its last client leaves and drops whoever
    // connects meanwhile. Between a killed assistant and the next start the
    // suite would have no client there, so it keeps one of its own.
    static void SetUpTestSuite() { display = XOpenDisplay(nullptr); }
    static void TearDownTestSuite()
    {
        if (display)
            XCloseDisplay(display);
        display = nullptr;
    }
    static inline Display *display = nullptr;

    void SetUp() override
    {
        ASSERT_NE(display, nullptr) << "the assistant needs an X server (scripts/test runs Xvfb)";
        test::board::lay();
        fs::remove(log_path);
        test::wire::drain(test::wire::request_queue());
    }

    static std::unique_ptr<test::process> start(std::vector<std::string> args)
    {
        args.insert(args.begin(), test::bin("quillmar"));
        return std::make_unique<test::process>(args);
    }

    static bool window_shown()
    {
        return test::eventually([] { return test::read_file(log_path).find("gtk2 prepare to run gui") != std::string::npos; });
    }
};

TEST_F(QuillmarTest, WrongArgumentCountPrintsUsage)
{
    const std::vector<std::string> usage = {
        " |----------------------------------------| ", " | ./quillmar [help] [dbglevel $]         | ",
        " | help: --help / -h / -?                 | ", " | dbglevel: --dbglevel / -d              | ",
        " | $: debug level number, with dbglevel   | ", " |----------------------------------------| ",
        " | example:                               | ", " | ./quillmar                             | ",
        " | ./quillmar -h                          | ", " | ./quillmar -d 3                        | ",
        " | ./quillmar --dbglevel 3                | ", " |----------------------------------------| ",
    };
    for (const auto &args : std::vector<std::vector<std::string>>{{"-h"}, {"-d"}, {"--help"}, {"-d", "3", "x"}}) {
        std::vector<std::string> argv = {test::bin("quillmar")};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = test::run(argv);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(test::lines_of(r.out), usage) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(fs::exists(log_path));
    }
    for (const auto &line : usage)
        EXPECT_EQ(line.size(), 44u);
}

TEST_F(QuillmarTest, LevelComesFromTheSecondArgument)
{
    const struct {
        std::vector<std::string> args;
        int level;
    } cases[] = {
        {{}, 1},           {{"-d", "3"}, 3},    {{"x", "3"}, 3},     {{"--dbglevel", "2"}, 2},
        {{"-d", "0"}, 4},  {{"-d", "5"}, 4},    {{"-d", "abc"}, 4},  {{"-d", "1234"}, 4},
        {{"-d", "300"}, 4}, {{"-d", ""}, 4},
    };
    for (const auto &c : cases) {
        fs::remove(log_path);
        auto quillmar = start(c.args);
        const std::string first = "try to write file, current level is: " + std::to_string(c.level) + "!\n";
        EXPECT_TRUE(test::eventually([&] { return test::read_file(log_path).size() >= first.size(); }));
        EXPECT_TRUE(test::read_file(log_path).starts_with(first)) << test::read_file(log_path);
        quillmar->signal(SIGTERM);
        EXPECT_EQ(quillmar->wait(), 15);
    }
}

TEST_F(QuillmarTest, SignalsEndTheProgramThroughItsCleanUp)
{
    for (int signo : {SIGINT, SIGTERM}) {
        fs::remove(log_path);
        auto quillmar = start({"-d", "3"});
        ASSERT_TRUE(window_shown());
        quillmar->signal(signo);
        EXPECT_EQ(quillmar->wait(), signo);
        auto lines = test::lines_of(test::read_file(log_path));
        ASSERT_GE(lines.size(), 3u);
        EXPECT_TRUE(lines[lines.size() - 3].ends_with(
            "[II]: signal_handle -> receive SIGTERM or SIGTERM, the program will exit, signo: " +
            std::to_string(signo)));
        EXPECT_TRUE(lines[lines.size() - 2].ends_with("the program will exit with exitno: " + std::to_string(signo)));
        EXPECT_TRUE(lines.back().ends_with("[II]: log_exit -> prepare to clean up the log"));
    }
}

TEST_F(QuillmarTest, ClosingTheWindowEndsWithTen)
{
    auto quillmar = start({"-d", "3"});
    ASSERT_TRUE(window_shown());
    ASSERT_TRUE(test::eventually([] { return test::gtk::close_window("Vask-Assistant [v3.1]"); }));
    EXPECT_EQ(quillmar->wait(), 10);
    std::string log = test::read_file(log_path);
    std::vector<std::string> tail;
    for (const auto &line : test::lines_of(log))
        if (line.find("gtk2_destroy") != std::string::npos || !tail.empty())
            tail.push_back(line.substr(line.find(' ') + 1));
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "[II]: gtk2_destroy -> gtk2 prepare to destroy",
                        "[II]: gtk2_timer_remove -> gtk2 prepare to remove timer",
                        "[II]: sqlite3_db_clean -> sqlite3 prepare to clean up table ProcInfo",
                        "[II]: sqlite3_exec_sql -> sqlite3 prepare to exec sql DROP TABLE ProcInfo;",
                        "[II]: quillmar_clean_up -> the program will exit with exitno: 10",
                        "[II]: log_exit -> prepare to clean up the log",
                    }))
        << log;
    // The database file stays; its table is gone.
    EXPECT_TRUE(fs::exists(paths::process_db));
}

TEST_F(QuillmarTest, MissingWindowIconEndsWith253)
{
    fs::remove(paths::icon_quillmar);
    auto r = test::run({test::bin("quillmar"), "-d", "1"});
    EXPECT_EQ(r.status, 253);
    auto lines = test::lines_of(test::read_file(log_path));
    ASSERT_EQ(lines.size(), 2u) << test::read_file(log_path); // level 1: the error line only
    EXPECT_NE(lines[1].find("[EE]: gtk2_create_pixbuf -> "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("quillmar.png"), std::string::npos) << lines[1];
    EXPECT_EQ(test::wire::receive(test::wire::request_queue(), std::chrono::milliseconds(0)), std::nullopt);
}

bool stored(pid_t pid)
{
    sqlite3 *db = nullptr;
    bool found = false;
    if (sqlite3_open_v2(paths::process_db, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(db, 1000);
        sqlite3_stmt *stmt = nullptr;
        const std::string sql = "SELECT Pid FROM ProcInfo WHERE Pid = " + std::to_string(pid) + ";";
        found = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW;
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return found;
}

// The screen's pixels in a rectangle of a screenshot file; empty when the
// file cannot be read.
std::vector<guchar> pixels_of(const std::string &path, int x, int y, int w, int h)
{
    std::vector<guchar> out;
    GdkPixbuf *shot = gdk_pixbuf_new_from_file(path.c_str(), nullptr);
    if (!shot)
        return out;
    const int channels = gdk_pixbuf_get_n_channels(shot), stride = gdk_pixbuf_get_rowstride(shot);
    const guchar *p = gdk_pixbuf_get_pixels(shot);
    for (int row = y; row < y + h && row < gdk_pixbuf_get_height(shot); row++)
        for (int col = x; col < x + w && col < gdk_pixbuf_get_width(shot); col++)
            for (int c = 0; c < 3; c++)
                out.push_back(p[row * stride + col * channels + c]);
    g_object_unref(shot);
    return out;
}

std::string screenshot(const std::string &name)
{
    const std::string dir = std::string(VASK_BUILD_DIR) + "/screenshots";
    fs::create_directories(dir);
    const std::string path = dir + "/" + name + ".png";
    EXPECT_EQ(test::run({test::bin("vask-shot"), path}).status, 0);
    return path;
}

void click_at(int x, int y)
{
    auto r = test::run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(x), std::to_string(y), "click", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
}

TEST_F(QuillmarTest, ProcessExplorerTabKeepsTheTableCurrent)
{
    pid_t child = fork();
    if (child == 0) {
        for (;;)
            pause();
    }
    // What a crash mid-write may leave: the file is kept aside, and the
    // explorer lists the machine all the same.
    const std::string damaged = "not a database\n";
    test::write_file(paths::process_db, damaged);
    fs::remove(paths::process_db_damaged);
    auto quillmar = start({"-d", "1"});
    // The window's place on the screen, from the X server, once it is shown:
    // GTK makes it at 0,0 and moves it to the centre just before mapping it.
    auto geometry = test::run({"/usr/bin/xdotool", "search", "--sync", "--onlyvisible", "--name",
                               "^Vask-Assistant \\[v3.1\\]$",
                               "getwindowgeometry", "--shell"});
    ASSERT_EQ(geometry.status, 0) << geometry.err;
    int x = -1, y = -1;
    for (const auto &line : test::lines_of(geometry.out)) {
        if (line.starts_with("X="))
            x = std::stoi(line.substr(2));
        if (line.starts_with("Y="))
            y = std::stoi(line.substr(2));
    }
    ASSERT_GE(x, 0);
    // The tabs: "Base Functions" then "Process Explorer", at the top left.
    const int tab_y = y + 12, base_tab_x = x + 50, explorer_tab_x = x + 170;
    // Off the window, so that nothing in it is drawn lit up.
    // (A move with --sync to where the pointer already is never ends.)
    ASSERT_EQ(test::run({"/usr/bin/xdotool", "mousemove", "1", "1", "mousemove", "--sync", "0", "0"}).status, 0);
    // Below the tabs the window shows another page once the tab is clicked;
    // beside the window the screen is as it was.
    const int page_y = y + 40, page_h = 500 - 40;
    std::vector<guchar> base_page;
    std::string base_shot_path;
    EXPECT_TRUE(test::eventually([&] {
        base_shot_path = screenshot("quillmar-base-functions");
        base_page = pixels_of(base_shot_path, x, page_y, 800, page_h);
        // Drawn: not one colour throughout.
        return !base_page.empty() && std::any_of(base_page.begin(), base_page.end(),
                                                 [&](guchar v) { return v != base_page[0]; });
    }));
    click_at(explorer_tab_x, tab_y);
    EXPECT_TRUE(test::eventually([&] { return stored(child); }));
    EXPECT_EQ(test::read_file(paths::process_db_damaged), damaged);
    fs::remove(paths::process_db_damaged);
    EXPECT_NE(test::read_file(log_path).find("[EE]: sqlite3_db_mend -> sqlite3 database " +
                                             std::string(paths::process_db) + " is damaged (file is not a database)"),
              std::string::npos);
    ASSERT_EQ(test::run({"/usr/bin/xdotool", "mousemove", "1", "1", "mousemove", "--sync", "0", "0"}).status, 0);
    std::string explorer_shot;
    EXPECT_TRUE(test::eventually([&] {
        explorer_shot = screenshot("quillmar-process-explorer");
        return pixels_of(explorer_shot, x, page_y, 800, page_h) != base_page;
    }));
    EXPECT_FALSE(pixels_of(base_shot_path, x + 810, y, 100, 500).empty());
    EXPECT_EQ(pixels_of(base_shot_path, x + 810, y, 100, 500), pixels_of(explorer_shot, x + 810, y, 100, 500));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // Coming back to the tab lists the machine as it is now: the ended child
    // leaves the table. (That the refresh comes at once, not with the timer,
    // is checked in the window's own tests, before the main loop turns.)
    click_at(base_tab_x, tab_y);
    click_at(explorer_tab_x, tab_y);
    EXPECT_TRUE(test::eventually([&] { return !stored(child); }));
    quillmar->signal(SIGTERM);
    EXPECT_EQ(quillmar->wait(), 15);
}

TEST_F(QuillmarTest, OneAssistantPerBoard)
{
    auto first = start({"-d", "3"});
    ASSERT_TRUE(window_shown());
    const std::string first_start = "log initialization complete, quillmar v3.1, pid: " + std::to_string(first->pid());
    const int replies = test::wire::reply_queue();
    auto focus = [] { return test::run({"/usr/bin/xdotool", "getwindowfocus", "-f"}).out; };
    const std::string window =
        test::run({"/usr/bin/xdotool", "search", "--sync", "--name", "^Vask-Assistant \\[v3.1\\]$"}).out;
    EXPECT_NE(focus(), window);
    auto second = test::run({"/usr/bin/timeout", "20", test::bin("quillmar"), "-d", "3"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(focus(), window); // no window manager runs here to have given it
    // The first's reply queue and log are as they were, and it takes replies.
    EXPECT_EQ(test::wire::reply_queue(), replies);
    ASSERT_TRUE(test::wire::send(replies, "5"));
    EXPECT_TRUE(test::eventually(
        [] { return test::read_file(log_path).find("message receive with 5") != std::string::npos; }));
    EXPECT_NE(test::read_file(log_path).find(first_start), std::string::npos) << test::read_file(log_path);
    first.reset(); // SIGKILL: its lock keeps no later start out
    fs::remove(log_path);
    EXPECT_TRUE(start({"-d", "3"}) && window_shown()); // and ends with the statement
    // Its window gone from the X server too: a start meanwhile would raise it.
    EXPECT_TRUE(test::eventually([] {
        return test::run({"/usr/bin/xdotool", "search", "--name", "^Vask-Assistant \\[v3.1\\]$"}).status != 0;
    }));
    // Held where this display has no window of it: the user is told.
    unique_fd lock(open(paths::quillmar_ipc_key, O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(flock(lock.get(), LOCK_EX | LOCK_NB), 0);
    fs::remove(log_path);
    auto told = start({});
    EXPECT_TRUE(test::eventually([] {
        return test::run({"/usr/bin/xdotool", "search", "--onlyvisible", "--name", "^Vask-Assistant$"}).status == 0;
    }));
    screenshot("quillmar-already-running");
    ASSERT_TRUE(test::gtk::close_window("Vask-Assistant"));
    EXPECT_EQ(told->wait(), 12);
    EXPECT_FALSE(fs::exists(log_path));
}

} // namespace
