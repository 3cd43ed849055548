// The process store against a real SQLite file: decoding, sorting, existence
// and the lifecycle of the ProcInfo table. Listed rows land in a real list.
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "database.h"
#include "db_sqlite3.h"
#include "gui_gtk2.h"
#include "paths.h"
#include "proc_record.h"
#include "support.h"

namespace {

constexpr int col_pid = 0, col_pr = 1, col_s = 3, col_virt = 4, col_cpu = 7, col_time = 9, col_comm = 10,
              col_affinity = 11, col_minflt = 12, col_cmdline = 16;

class StoreTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_NE(getenv("DISPLAY"), nullptr) << "the list needs an X server (scripts/test runs Xvfb)";
        gtk_init(nullptr, nullptr);
        g2modules.clist = gtk_clist_new(17);
        g_object_ref_sink(g2modules.clist);
    }

    void SetUp() override
    {
        test::board::lay();
        std::filesystem::remove(paths::process_db);
        db = db_get_operate();
        db.quillmar_db_list_to(gtk2_flush_clist);
        ASSERT_EQ(db.quillmar_db_init(), 0);
        gtk_clist_clear(GTK_CLIST(g2modules.clist));
        minfo = {.cpu_count = 8, .mtime = 1000, .memtotal = 4000};
    }
    void TearDown() override { db.quillmar_db_clean(); }

    static std::string cell(int row, int col)
    {
        gchar *text = nullptr;
        gtk_clist_get_text(GTK_CLIST(g2modules.clist), row, col, &text);
        return text ? text : "(none)";
    }
    static int rows() { return GTK_CLIST(g2modules.clist)->rows; }
    static std::vector<std::string> column(int col)
    {
        std::vector<std::string> values;
        for (int r = 0; r < rows(); r++)
            values.push_back(cell(r, col));
        return values;
    }
    bool list(const char *colname, bool desc)
    {
        gtk_clist_clear(GTK_CLIST(g2modules.clist));
        return db.quillmar_db_query(0, desc, colname);
    }

    quillmar_db_operate db;
};

TEST_F(StoreTest, MissingValuesReadBackAsPlaceholders)
{
    ASSERT_TRUE(db.quillmar_db_exec_sql("INSERT INTO ProcInfo (Pid) VALUES (5);"));
    ASSERT_TRUE(list("Pid", false));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, col_pid), "5");
    EXPECT_EQ(cell(0, col_pr), "-1");
    EXPECT_EQ(cell(0, col_s), "-");
    EXPECT_EQ(cell(0, col_time), "----");
    EXPECT_EQ(cell(0, col_comm), "----");
    EXPECT_EQ(cell(0, col_affinity), "0xffffffffffffffff / ----");
    EXPECT_EQ(cell(0, col_cmdline), "----");
}

TEST_F(StoreTest, ValuesComeBackWhole)
{
    const std::string list_200(200, '7');
    const std::string sql = "INSERT INTO ProcInfo VALUES (7, 20, 0, 82, 1000, 10, 5, 250, '01:02.03', 'it''s', "
                            "-4294967295, '" + list_200 + "', 5000000000, 0, 0, 0, 'a ''b'' c');";
    ASSERT_TRUE(db.quillmar_db_exec_sql(sql.c_str()));
    ASSERT_TRUE(list("Pid", false));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, col_s), "R");
    EXPECT_EQ(cell(0, col_virt), "4000");
    EXPECT_EQ(cell(0, col_cpu), "25.00");
    EXPECT_EQ(cell(0, col_comm), "it's");
    EXPECT_EQ(cell(0, col_cmdline), "a 'b' c");
    // Affinity past CPU 31 and counters past 2^31 are not cut to 32 bits.
    EXPECT_EQ(cell(0, col_affinity), "0xffffffff00000001 / " + std::string(127, '7'));
    EXPECT_EQ(cell(0, col_minflt), "5000000000");
}

TEST_F(StoreTest, ListingsSortBothWaysWithPidBreakingTies)
{
    const char *rows_sql[] = {
        "INSERT INTO ProcInfo (Pid, Nice, Time, CpuTime) VALUES (30, 0, '99:59.99', 5);",
        "INSERT INTO ProcInfo (Pid, Nice, Time, CpuTime) VALUES (10, 0, '100:00.00', 9);",
        "INSERT INTO ProcInfo (Pid, Nice, Time, CpuTime) VALUES (20, -5, '00:00.01', 1);",
        "INSERT INTO ProcInfo (Pid, Nice, Time, CpuTime) VALUES (40, 0, '00:00.02', 9);",
    };
    for (const char *sql : rows_sql)
        ASSERT_TRUE(db.quillmar_db_exec_prepare(sql));
    ASSERT_TRUE(list("Pid", false));
    EXPECT_EQ(column(col_pid), (std::vector<std::string>{"10", "20", "30", "40"}));
    ASSERT_TRUE(list("Time", false)); // as text
    EXPECT_EQ(column(col_time), (std::vector<std::string>{"00:00.01", "00:00.02", "100:00.00", "99:59.99"}));
    ASSERT_TRUE(list("CpuTime", true));
    EXPECT_EQ(column(col_pid), (std::vector<std::string>{"10", "40", "30", "20"}));
    ASSERT_TRUE(list("Nice", true));
    EXPECT_EQ(column(col_pid), (std::vector<std::string>{"10", "30", "40", "20"}));
    ASSERT_TRUE(list("Nice", false));
    EXPECT_EQ(column(col_pid), (std::vector<std::string>{"20", "10", "30", "40"}));
}

TEST_F(StoreTest, ExistenceQueriesHandNoRows)
{
    ASSERT_TRUE(db.quillmar_db_exec_prepare("INSERT INTO ProcInfo (Pid, Comm) VALUES (42, 'first');"));
    EXPECT_TRUE(db.quillmar_db_query(42, false, ""));
    EXPECT_FALSE(db.quillmar_db_query(43, false, ""));
    EXPECT_EQ(rows(), 0);
    // A duplicate compiles, so it counts as run; the row stays as it was.
    EXPECT_TRUE(db.quillmar_db_exec_prepare("INSERT INTO ProcInfo (Pid, Comm) VALUES (42, 'second');"));
    ASSERT_TRUE(list("Pid", false));
    EXPECT_EQ(cell(0, col_comm), "first");
    EXPECT_FALSE(db.quillmar_db_exec_prepare("INSERT INTO Nowhere VALUES (1);"));
}

TEST_F(StoreTest, EmptyOrMissingTableListsNothing)
{
    EXPECT_FALSE(list("Pid", false));
    EXPECT_EQ(rows(), 0);
    ASSERT_TRUE(db.quillmar_db_exec_sql("DROP TABLE ProcInfo;"));
    EXPECT_FALSE(list("Pid", false));
    EXPECT_FALSE(db.quillmar_db_exec_sql("DROP TABLE ProcInfo;"));
    ASSERT_EQ(db.quillmar_db_init(), 0); // made again for the clean-up
}

TEST_F(StoreTest, CleanUpDropsTheTableAndKeepsTheFile)
{
    ASSERT_TRUE(db.quillmar_db_exec_sql("INSERT INTO ProcInfo (Pid) VALUES (1);"));
    db.quillmar_db_clean();
    ASSERT_TRUE(std::filesystem::exists(paths::process_db));
    sqlite3 *raw = nullptr;
    ASSERT_EQ(sqlite3_open(paths::process_db, &raw), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    EXPECT_NE(sqlite3_prepare_v2(raw, "SELECT * FROM ProcInfo;", -1, &stmt, nullptr), SQLITE_OK);
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    ASSERT_EQ(db.quillmar_db_init(), 0); // for TearDown
}

TEST_F(StoreTest, UnopenableDatabaseReportsItsCode)
{
    db.quillmar_db_clean();
    std::filesystem::remove_all(test::sysroot("/opt/vask/quillmar/resources/db"));
    EXPECT_EQ(db.quillmar_db_init(), SQLITE_CANTOPEN);
    test::board::lay();
    ASSERT_EQ(db.quillmar_db_init(), 0);
}

proc_info sample_row(int64_t pid, const char *comm)
{
    proc_info p{};
    p.pid = pid;
    p.priority = 20;
    p.nice = -5;
    p.state = 'R';
    p.virt = 1000;
    p.res = 50;
    p.shr = 7;
    p.cputime = 5000000000;
    snprintf(p.time, sizeof(p.time), "02:03.45");
    snprintf(p.comm, sizeof(p.comm), "%s", comm);
    p.affinity = 255;
    snprintf(p.cpulist, sizeof(p.cpulist), "01234567");
    p.minflt = 11;
    p.cminflt = 12;
    p.majflt = 13;
    p.cmajflt = 14;
    snprintf(p.cmdline, sizeof(p.cmdline), "/bin/it's 'quoted'");
    return p;
}

// A file SQLite judges no database, or corrupt, at start or while open, is
// kept aside and the store made anew; a sound one is kept.
TEST_F(StoreTest, DamagedFilesAreKeptAsideAndTheStoreMadeAnew)
{
    const struct {
        const char *name;
        bool at_start;
        int from; // garbled from this offset on; -1: left sound
    } cases[] = {
        {"sound leftover", true, -1},
        {"no database", true, 0},
        {"corrupt pages", true, 4096},
        {"no database while open", false, 0},
    };
    for (const auto &c : cases) {
        std::filesystem::remove(paths::process_db_damaged);
        // Rows over several pages, so that damage past the first hits them;
        // at start they are what a run that crashed left.
        for (int pid = 1; pid <= 300; pid++)
            db.quillmar_db_exec_row(sample_row(pid, "leftover"));
        std::string before;
        if (c.from >= 0) {
            before = test::read_file(paths::process_db);
            before.replace(c.from, 8192, std::string(8192, 'x'));
            test::write_file(paths::process_db, before);
        }
        const std::string err = test::capture_stderr([&] {
            EXPECT_EQ(c.at_start ? db.quillmar_db_init() : 0, 0);
            EXPECT_TRUE(db.quillmar_db_exec_row(sample_row(4242, "after")));
        });
        // Logged once, when damaged.
        const std::string mended = std::string("sqlite3 database ") + paths::process_db + " is damaged (";
        const size_t at = err.find(mended);
        EXPECT_EQ(at != std::string::npos && at == err.rfind(mended) &&
                      err.find("): it is kept as " + std::string(paths::process_db_damaged) + " and made anew\n", at) !=
                          std::string::npos,
                  c.from >= 0)
            << c.name << err;
        EXPECT_EQ(test::read_file(paths::process_db_damaged), before) << c.name; // "": none
        // No table to find in what is no database: the new one is made once.
        EXPECT_TRUE(c.from != 0 || err.find("already exists") == std::string::npos) << c.name << err;
        ASSERT_TRUE(list("Pid", false)) << c.name;
        EXPECT_EQ(column(col_comm), (std::vector<std::string>{"after"})) << c.name;
        db.quillmar_db_exec_sql("DELETE FROM ProcInfo;");
    }
    std::filesystem::remove(paths::process_db_damaged);
}

TEST_F(StoreTest, RowsAreInsertedAndUpdatedWithTheirValuesIntact)
{
    ASSERT_TRUE(db.quillmar_db_exec_row(sample_row(7, "it's (a b)")));
    EXPECT_TRUE(db.quillmar_db_query(7, false, ""));
    ASSERT_TRUE(list("Pid", false));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, col_pid), "7");
    EXPECT_EQ(cell(0, col_pr), "20");
    EXPECT_EQ(cell(0, col_s), "R");
    EXPECT_EQ(cell(0, col_virt), "4000");
    EXPECT_EQ(cell(0, col_time), "02:03.45");
    EXPECT_EQ(cell(0, col_comm), "it's (a b)");
    EXPECT_EQ(cell(0, col_affinity), "0xff / 01234567");
    EXPECT_EQ(cell(0, col_minflt), "11");
    EXPECT_EQ(cell(0, col_cmdline), "/bin/it's 'quoted'");

    // A stored pid is written again in place.
    proc_info changed = sample_row(7, "O'Brien");
    changed.state = 'S';
    changed.minflt = 99;
    ASSERT_TRUE(db.quillmar_db_exec_row(changed));
    ASSERT_TRUE(list("Pid", false));
    ASSERT_EQ(rows(), 1);
    EXPECT_EQ(cell(0, col_comm), "O'Brien");
    EXPECT_EQ(cell(0, col_s), "S");
    EXPECT_EQ(cell(0, col_minflt), "99");
    // CpuTime is stored whole: 5e9 ticks against a machine total of 1000.
    EXPECT_EQ(cell(0, col_cpu), "500000000.00");
}

TEST_F(StoreTest, RowStatementsAreLoggedWithTheirValues)
{
    // Before the log is open every level goes to standard error. A new pid
    // is inserted, a stored one updated: one statement each.
    const std::string insert = test::capture_stderr([&] { db.quillmar_db_exec_row(sample_row(7, "it's")); });
    EXPECT_EQ(insert, "sqlite3 prepare to exec prepare_v2 INSERT INTO ProcInfo \t\t\t(Pid, Pr, Nice, S, Virt, \t\t\tRes, "
                      "Shr, CpuTime, Time, Comm, \t\t\tAffinity, CpuList, MinFlt, CMinFlt, MajFlt, \t\t\tCMajFlt, "
                      "CmdLine) VALUES \t\t\t(7, 20, -5, 82, 1000, \t\t\t50, 7, 5000000000, '02:03.45', 'it''s', "
                      "\t\t\t255, '01234567', 11, 12, 13, \t\t\t14, '/bin/it''s ''quoted''');\n");
    const std::string update = test::capture_stderr([&] { db.quillmar_db_exec_row(sample_row(7, "x")); });
    EXPECT_EQ(update, "sqlite3 prepare to exec prepare_v2 UPDATE ProcInfo SET \t\t\tPr = 20, Nice = -5, S = 82, "
                      "Virt = 1000, Res = 50, \t\t\tShr = 7, CpuTime = 5000000000, Time = '02:03.45', Comm = 'x', "
                      "Affinity = 255, \t\t\tCpuList = '01234567', MinFlt = 11, CMinFlt = 12, MajFlt = 13, "
                      "CMajFlt = 14, \t\t\tCmdLine = '/bin/it''s ''quoted''' WHERE Pid = 7;\n");
    char out[16];
    sql_quote("''''''''''", out, sizeof(out)); // bounded: whole pairs only
    EXPECT_STREQ(out, "''''''''''''''");
}

TEST_F(StoreTest, RowWritesFollowTheTableWhenItIsMadeAgainOrGone)
{
    ASSERT_TRUE(db.quillmar_db_exec_row(sample_row(7, "first")));
    EXPECT_TRUE(db.quillmar_db_query(7, false, ""));
    // The statements compiled against the old table still serve the new one.
    ASSERT_TRUE(db.quillmar_db_exec_sql("DROP TABLE ProcInfo;"));
    ASSERT_TRUE(db.quillmar_db_exec_sql("CREATE TABLE ProcInfo(Pid INT PRIMARY KEY NOT NULL,Pr INT,Nice INT,S INT,"
                                        "Virt INT,Res INT,Shr INT,CpuTime INT,Time CHAR(280),Comm CHAR(280),"
                                        "Affinity INT,CpuList CHAR(280),MinFlt INT,CMinFlt INT,MajFlt INT,"
                                        "CMajFlt INT,CmdLine CHAR(280));"));
    EXPECT_FALSE(db.quillmar_db_query(7, false, ""));
    ASSERT_TRUE(db.quillmar_db_exec_row(sample_row(8, "again")));
    EXPECT_TRUE(db.quillmar_db_query(8, false, ""));
    ASSERT_TRUE(list("Pid", false));
    EXPECT_EQ(column(col_comm), (std::vector<std::string>{"again"}));

    // Without the table neither compiles: both report it and fail.
    ASSERT_TRUE(db.quillmar_db_exec_sql("DROP TABLE ProcInfo;"));
    bool written = true, found = true;
    const std::string err = test::capture_stderr([&] {
        written = db.quillmar_db_exec_row(sample_row(9, "lost"));
        found = db.quillmar_db_query(9, false, "");
    });
    EXPECT_FALSE(written);
    EXPECT_FALSE(found);
    EXPECT_NE(err.find("sqlite3 exec prepare_v2 failed with msg no such table: ProcInfo\n"), std::string::npos) << err;
    EXPECT_NE(err.find("sqlite3 query pid 9 failed with msg no such table: ProcInfo\n"), std::string::npos) << err;
    ASSERT_EQ(db.quillmar_db_init(), 0); // made again for the clean-up
}

} // namespace
