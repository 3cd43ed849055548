// The process store against a real SQLite file: decoding, sorting, existence
// and the lifecycle of the ProcInfo table. Listed rows land in a real list.
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "database.h"
#include "gui_gtk2.h"
#include "paths.h"
#include "process.h"
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

} // namespace
