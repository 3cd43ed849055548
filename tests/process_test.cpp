// The process collector: the parsing of /proc texts, and whole refreshes of
// the real /proc into a real SQLite file, with children started here.
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "paths.h"
#include "process.h"
#include "support.h"

namespace {

TEST(ProcParse, StatLines)
{
    struct {
        const char *line;
        const char *comm;
        char state;
        int64_t minflt, cmajflt, priority, nice, cputime;
        const char *time;
    } cases[] = {
        {"1234 (bash) S 1 1234 1234 34816 1234 4194304 100 200 3 4 12000 345 10 20 20 0 1 0 77 1000 50",
         "bash", 'S', 100, 4, 20, 0, 12375, "02:03.45"},
        {"77 (a b) (c) R 1 77 77 0 -1 4194560 5 0 0 9 599999 1 0 0 25 5 1 0", "a b) (c", 'R', 5, 9, 25, 5, 600000,
         "100:00.00"},
        {"2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 3 0 0 20 0 1 0 12", "kthreadd", 'S', 0, 0, 20, 0, 3,
         "00:00.03"},
        {"9 (it's) Z 1 9 9 0 -1 4194308 0 0 0 0 0 0 0 0 -100 -20 1 0", "it's", 'Z', 0, 0, -100, -20, 0, "00:00.00"},
        {"10 () D 1 1 1 0 -1 0 7 0 0 0 1 0 0 0 20 0 1 0", "", 'D', 7, 0, 20, 0, 1, "00:00.01"},
    };
    for (const auto &c : cases) {
        proc_info info{};
        ASSERT_TRUE(proc_stat_parse(c.line, info)) << c.line;
        EXPECT_STREQ(info.comm, c.comm);
        EXPECT_EQ(info.state, c.state) << c.line;
        EXPECT_EQ(info.minflt, c.minflt) << c.line;
        EXPECT_EQ(info.cmajflt, c.cmajflt) << c.line;
        EXPECT_EQ(info.priority, c.priority) << c.line;
        EXPECT_EQ(info.nice, c.nice) << c.line;
        EXPECT_EQ(info.cputime, c.cputime) << c.line;
        EXPECT_STREQ(info.time, c.time) << c.line;
    }
    proc_info info{};
    EXPECT_FALSE(proc_stat_parse("garbage without a name", info));
    EXPECT_FALSE(proc_stat_parse("5 ) S (", info));
    // A name longer than the field is cut, and the numbers still follow it.
    const std::string long_name(400, 'n');
    ASSERT_TRUE(proc_stat_parse(("3 (" + long_name + ") S 1 1 1 0 -1 0 42 0 0 0 0 0 0 0 20 0").c_str(), info));
    EXPECT_EQ(std::string(info.comm), std::string(279, 'n'));
    EXPECT_EQ(info.minflt, 42);
}

TEST(ProcParse, TimeText)
{
    const struct {
        int64_t ticks;
        const char *text;
    } cases[] = {{12345, "02:03.45"}, {600000, "100:00.00"}, {0, "00:00.00"}, {599999, "99:59.99"}, {99, "00:00.99"}};
    for (const auto &c : cases) {
        char text[280];
        proc_time_format(c.ticks, text);
        EXPECT_STREQ(text, c.text) << c.ticks;
    }
}

TEST(ProcParse, StatmAndCmdline)
{
    proc_info info{};
    proc_statm_parse("1000 200 50 10 0 300 0\n", info);
    EXPECT_EQ(info.virt, 1000);
    EXPECT_EQ(info.res, 200);
    EXPECT_EQ(info.shr, 50);

    const char args[] = "prog\0-x\0";
    proc_cmdline_parse(args, sizeof(args) - 1, info);
    EXPECT_STREQ(info.cmdline, "prog");
    proc_cmdline_parse("", 0, info);
    EXPECT_STREQ(info.cmdline, "----");
    const std::string full(4095, 'a');
    proc_cmdline_parse(full.c_str(), 4095, info);
    EXPECT_EQ(std::string(info.cmdline), std::string(279, 'a'));
}

TEST(ProcParse, CpuListAndQuotes)
{
    const struct {
        int64_t affinity;
        int64_t cpus;
        const char *list;
    } cases[] = {{0xf0, 8, "4567"}, {0xff, 8, "01234567"}, {0xf0, 4, ""}, {0x5, 2, "0"}, {0x400, 16, "10"}};
    for (const auto &c : cases) {
        char list[128];
        proc_cpulist_format(c.affinity, c.cpus, list);
        EXPECT_STREQ(list, c.list) << c.affinity;
    }
    char all[128];
    proc_cpulist_format(-1, 128, all); // CPUs past 63 are not listed
    EXPECT_EQ(strlen(all), 10u + 54u * 2u);
    EXPECT_TRUE(std::string(all).ends_with("6263"));

    char out[16];
    sql_quote("it's 'x'", out, sizeof(out));
    EXPECT_STREQ(out, "it''s ''x''");
    sql_quote("''''''''''", out, sizeof(out)); // bounded: whole pairs only
    EXPECT_STREQ(out, "''''''''''''''");
}

// A child that sleeps until killed, with the name and first argument given.
pid_t spawn_sleeper(const std::string &argv0, const char *comm)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (comm) {
            prctl(PR_SET_NAME, comm);
            for (;;)
                pause();
        }
        execl("/bin/sleep", argv0.c_str(), "1000", static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

struct row {
    std::string comm, cmdline, state, time, cpulist;
    int64_t virt = -2, affinity = -2;
};

std::optional<row> stored_row(pid_t pid)
{
    sqlite3 *db = nullptr;
    std::optional<row> found;
    if (sqlite3_open_v2(paths::process_db, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        const std::string sql =
            "SELECT Comm, CmdLine, S, Time, CpuList, Virt, Affinity FROM ProcInfo WHERE Pid = " + std::to_string(pid);
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
            auto text = [&](int i) {
                const unsigned char *t = sqlite3_column_text(stmt, i);
                return std::string(t ? reinterpret_cast<const char *>(t) : "(null)");
            };
            found = row{text(0), text(1), std::string(1, static_cast<char>(sqlite3_column_int(stmt, 2))), text(3),
                        text(4), sqlite3_column_int64(stmt, 5), sqlite3_column_int64(stmt, 6)};
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return found;
}

class CollectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        test::board::lay();
        std::filesystem::remove(paths::process_db);
        db = db_get_operate();
        ASSERT_EQ(db.quillmar_db_init(), 0);
    }
    static void TearDownTestSuite() { db.quillmar_db_clean(); }

    static inline quillmar_db_operate db;
};

TEST_F(CollectorTest, RefreshStoresEveryProcessAndDropsEndedOnes)
{
    const pid_t named = spawn_sleeper("", "it's (a b)");
    const std::string long_arg(300, 'L');
    const pid_t sleeper = spawn_sleeper("/bin/" + long_arg, nullptr);
    // The child's exec is done when its command line shows the new argv[0].
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(sleeper) + "/cmdline").starts_with("/bin/L"); }));

    // Processes of the machine may end in the middle of a refresh; one in
    // which every read works counts no failure.
    int8_t result = -1;
    for (int attempt = 0; attempt < 5 && result != 0; attempt++)
        result = proc_list_flush();
    EXPECT_EQ(result, 0);
    EXPECT_GT(minfo.mtime, 0);
    EXPECT_GT(minfo.memtotal, 0);
    EXPECT_EQ(minfo.cpu_count, sysconf(_SC_NPROCESSORS_CONF));

    auto a = stored_row(named);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->comm, "it's (a b)");
    EXPECT_EQ(a->state, "S");
    auto b = stored_row(sleeper);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->comm, "sleep");
    EXPECT_EQ(b->cmdline, ("/bin/" + long_arg).substr(0, 279));
    EXPECT_GT(b->virt, 0);
    EXPECT_EQ(b->time, "00:00.00");
    char expected_list[128];
    cpu_set_t set;
    ASSERT_EQ(sched_getaffinity(sleeper, sizeof(set), &set), 0);
    uint64_t mask = 0;
    memcpy(&mask, &set, sizeof(mask));
    proc_cpulist_format(static_cast<int64_t>(mask), minfo.cpu_count, expected_list);
    EXPECT_EQ(b->affinity, static_cast<int64_t>(mask));
    EXPECT_EQ(b->cpulist, expected_list);
    // Ourselves and pid 1 are there; kernel threads have no command line.
    EXPECT_TRUE(stored_row(getpid()));
    auto init = stored_row(1);
    ASSERT_TRUE(init);
    auto kthreadd = stored_row(2);
    if (kthreadd) { // absent in a pid namespace
        EXPECT_EQ(kthreadd->cmdline, "----");
    }

    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
    proc_list_flush();
    EXPECT_FALSE(stored_row(sleeper));
    EXPECT_TRUE(stored_row(named));
    kill(named, SIGKILL);
    waitpid(named, nullptr, 0);
}

TEST_F(CollectorTest, RowsOfAnEarlierRunAreClearedAtStart)
{
    // A run that died without its clean-up left its table and rows.
    db.quillmar_db_exec_sql("INSERT INTO ProcInfo (Pid, Comm) VALUES (999999999, 'ghost');");
    ASSERT_TRUE(stored_row(999999999));
    ASSERT_EQ(db.quillmar_db_init(), 0);
    EXPECT_FALSE(stored_row(999999999));
}

} // namespace
