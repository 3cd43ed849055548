// The process collector: the parsing of /proc texts, and whole refreshes of
// the real /proc into a real SQLite file, with children started here.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "database.h"
#include "gtk_support.h"
#include "gui_gtk2.h"
#include "paths.h"
#include "process.h"
#include "procfs.h"
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
        {"11 (cut) S 1 1 1 0 -1 0 7 8 9", "cut", 'S', 7, 0, 0, 0, 0, "00:00.00"},
        {"12 (odd)\tR\n1 1 1 0 -1 0 +7 0 0 0 0 1 0 0 -2 x 19", "odd", 'R', 7, 0, -2, 0, 1, "00:00.01"},
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
    proc_statm_parse("99999999999999999999 -99999999999999999999 x 7", info);
    EXPECT_EQ(info.virt, INT64_MAX);
    EXPECT_EQ(info.res, INT64_MIN);
    EXPECT_EQ(info.shr, 0);

    const char args[] = "prog\0-x\0";
    proc_cmdline_parse(args, sizeof(args) - 1, info);
    EXPECT_STREQ(info.cmdline, "prog");
    proc_cmdline_parse("", 0, info);
    EXPECT_STREQ(info.cmdline, "----");
    const std::string full(4095, 'a');
    proc_cmdline_parse(full.c_str(), 4095, info);
    EXPECT_EQ(std::string(info.cmdline), std::string(279, 'a'));
}

TEST(ProcParse, CpuList)
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
}

// A child that sleeps until killed, with the name and first argument given.
pid_t spawn_sleeper(const std::string &argv0, const char *comm)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); // a failed test leaves no sleeper behind
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

void pin_to_cpus(pid_t pid, std::initializer_list<int> cpus)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu : cpus)
        CPU_SET(cpu, &set);
    ASSERT_EQ(sched_setaffinity(pid, sizeof(set), &set), 0) << strerror(errno);
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

// The numbers of a stored row, in the order the query names them.
std::vector<int64_t> stored_numbers(pid_t pid, const std::string &columns)
{
    std::vector<int64_t> numbers;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(paths::process_db, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        const std::string sql = "SELECT " + columns + " FROM ProcInfo WHERE Pid = " + std::to_string(pid);
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            for (int i = 0; i < sqlite3_column_count(stmt); i++)
                numbers.push_back(sqlite3_column_int64(stmt, i));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return numbers;
}

class CollectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        test::board::lay();
        std::filesystem::remove(paths::process_db);
        db = db_get_operate();
        ASSERT_EQ(db.quillmar_db_init(), 0);
        proc_list_init();
    }
    static void TearDownTestSuite() { db.quillmar_db_clean(); }
    void TearDown() override { proc_list_release(); }

    static inline quillmar_db_operate db;
};

TEST_F(CollectorTest, RefreshStoresEveryProcess)
{
    const pid_t named = spawn_sleeper("", "it's (a b)");
    const std::string long_arg(300, 'L');
    const pid_t sleeper = spawn_sleeper("/bin/" + long_arg, nullptr);
    pin_to_cpus(sleeper, {0});
    if (sysconf(_SC_NPROCESSORS_CONF) >= 2)
        pin_to_cpus(named, {0, 1});
    // The child's exec is done when its command line shows the new argv[0];
    // the other child has taken its name once its stat shows it asleep so.
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(sleeper) + "/cmdline").starts_with("/bin/L"); }));
    ASSERT_TRUE(test::eventually([&] {
        return test::read_file("/proc/" + std::to_string(named) + "/stat").find(" (it's (a b)) S ") != std::string::npos;
    }));
    // Unreaped: its memory, command line with it, is gone, as a kernel
    // thread never had one.
    const pid_t zombie = fork();
    if (zombie == 0)
        _exit(0);
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(zombie) + "/stat").find(") Z ") != std::string::npos; }));

    // Processes of the machine may end in the middle of a refresh; one in
    // which every read works counts no failure.
    int8_t result = -1;
    for (int attempt = 0; attempt < 5 && result != 0; attempt++)
        result = proc_list_flush(db);
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
    // The sleeper's own CPU time, as the kernel has it now that it sleeps:
    // utime and stime are the 12th and 13th fields after the name.
    {
        const std::string stat = test::read_file("/proc/" + std::to_string(sleeper) + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::vector<long> numbers;
        std::string field;
        while (fields >> field)
            numbers.push_back(strtol(field.c_str(), nullptr, 10)); // the state letter reads as 0
        ASSERT_GT(numbers.size(), 12u);
        const long t = numbers[11] + numbers[12];
        auto two = [](long v) {
            std::string text(v < 10 ? 1 : 0, '0');
            return text += std::to_string(v);
        };
        EXPECT_EQ(b->time, two(t / 6000) + ":" + two(t / 100 % 60) + "." + two(t % 100));
    }
    // Pinned to CPU 0 by the test: the mask 1 and the list "0".
    EXPECT_EQ(b->affinity, 1);
    EXPECT_EQ(b->cpulist, "0");
    if (sysconf(_SC_NPROCESSORS_CONF) >= 2) {
        auto c = stored_row(named);
        ASSERT_TRUE(c);
        EXPECT_EQ(c->affinity, 3);
        EXPECT_EQ(c->cpulist, "01");
    }
    // Ourselves and pid 1 are there; what has no command line shows "----".
    EXPECT_TRUE(stored_row(getpid()));
    auto init = stored_row(1);
    ASSERT_TRUE(init);
    auto z = stored_row(zombie);
    ASSERT_TRUE(z);
    EXPECT_EQ(z->state, "Z");
    EXPECT_EQ(z->cmdline, "----");
    waitpid(zombie, nullptr, 0);

    kill(sleeper, SIGKILL);
    waitpid(sleeper, nullptr, 0);
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
    // A refresh writes only the rows whose values changed, but into a table
    // made anew every row, ourselves among them.
    proc_list_flush(db);
    ASSERT_TRUE(stored_row(getpid()));
    ASSERT_EQ(db.quillmar_db_init(), 0);
    proc_list_flush(db);
    EXPECT_TRUE(stored_row(getpid()));
    EXPECT_TRUE(stored_row(1));
}

// A child that takes the names it is sent as its process name, and says
// when it has.
class renamable_child {
public:
    renamable_child()
    {
        int to[2], from[2];
        if (pipe(to) != 0 || pipe(from) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            close(to[1]);
            close(from[0]);
            char name[16];
            ssize_t n;
            while ((n = read(to[0], name, sizeof(name) - 1)) > 0) {
                name[n] = '\0';
                prctl(PR_SET_NAME, name);
                (void)!write(from[1], "k", 1);
            }
            _exit(0);
        }
        close(to[0]);
        close(from[1]);
        to_ = to[1];
        from_ = from[0];
    }
    ~renamable_child()
    {
        close(to_);
        close(from_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }
    bool rename(const std::string &name)
    {
        char ack;
        return write(to_, name.data(), name.size()) == static_cast<ssize_t>(name.size()) && read(from_, &ack, 1) == 1;
    }

private:
    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
};

TEST_F(CollectorTest, KnownProcessesAreRefreshed)
{
    renamable_child child;
    ASSERT_GT(child.pid(), 0);
    // Each step waits for the state the kernel shows, then refreshes: a
    // renamed child sleeps again in its read once it has said so.
    const std::string stat = "/proc/" + std::to_string(child.pid()) + "/stat";
    auto refreshed_in = [&](const char *state) {
        const std::string shown = std::string(") ") + state + " ";
        if (!test::eventually([&] { return test::read_file(stat).find(shown) != std::string::npos; }))
            return std::optional<row>();
        proc_list_flush(db);
        return stored_row(child.pid());
    };
    ASSERT_TRUE(child.rename("before"));
    auto first = refreshed_in("S");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->comm, "before");
    EXPECT_EQ(first->state, "S");

    ASSERT_TRUE(child.rename("after"));
    kill(child.pid(), SIGSTOP);
    auto second = refreshed_in("T");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->comm, "after");
    EXPECT_EQ(second->state, "T");

    // Its state alone changes.
    kill(child.pid(), SIGCONT);
    auto third = refreshed_in("S");
    ASSERT_TRUE(third);
    EXPECT_EQ(third->state, "S");
}

// A refresh whose transaction did not commit (a full disk) wrote nothing:
// the next one writes its rows again, though their values stayed.
TEST_F(CollectorTest, RowsOfARefreshThatDidNotCommitAreWrittenAgain)
{
    const pid_t child = spawn_sleeper("", "uncommitted");
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(child) + "/comm") == "uncommitted\n"; }));
    quillmar_db_operate failing = db;
    failing.quillmar_db_exec_sql = [](const char *sql) {
        if (strcmp(sql, "COMMIT;") != 0)
            return db.quillmar_db_exec_sql(sql);
        db.quillmar_db_exec_sql("ROLLBACK;");
        return false;
    };
    proc_list_flush(failing);
    EXPECT_FALSE(stored_row(child));
    proc_list_flush(db);
    EXPECT_TRUE(stored_row(child));
    // Nor did it delete the row of a process that ended before it.
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    proc_list_flush(failing);
    EXPECT_TRUE(stored_row(child));
    proc_list_flush(db);
    EXPECT_FALSE(stored_row(child));
}

// The collector's own file operations, with faults put in for chosen files:
// a failure with a given errno on open or read (or only on the read of a
// file kept open from an earlier refresh), or the process killed and
// reaped just before its file is opened or just after it is read, so that
// its /proc entry really vanishes.
struct faulty_files {
    enum class step { open, read, reread, kill_before_open, kill_after_read, text };
    struct fault {
        int64_t pid; // 0 for the machine files
        std::string name;
        step at;
        int err;
        std::string text = {}; // step::text: what the read gives instead of the file
    };
    struct opened {
        std::string name;
        int64_t pid;
        int64_t fd;
    };
    static inline const file_operate *real = nullptr;
    static inline std::vector<fault> faults;
    static inline std::vector<opened> opens;
    static inline std::vector<opened> known; // every open of the test, for the reads of kept files
    static inline std::vector<opened> reads; // the file each read was of
    static inline std::vector<int64_t> open_now; // descriptors opened and not yet closed
    static inline int stray_closes = 0;          // of descriptors not open

    static const fault *find(const std::string &name, int64_t pid, step at)
    {
        for (const fault &f : faults)
            if (f.name == name && f.pid == pid && f.at == at)
                return &f;
        return nullptr;
    }
    static const opened *of(int64_t fd)
    {
        for (auto o = known.rbegin(); o != known.rend(); ++o)
            if (o->fd == fd)
                return &*o;
        return nullptr;
    }
    static void end(int64_t pid)
    {
        kill(static_cast<pid_t>(pid), SIGKILL);
        waitpid(static_cast<pid_t>(pid), nullptr, 0);
    }
    static int64_t open(const char *tmp, int64_t pid)
    {
        if (find(tmp, pid, step::kill_before_open))
            end(pid);
        int64_t fd = -1;
        if (const fault *f = find(tmp, pid, step::open))
            errno = f->err;
        else
            fd = real->gfopen(tmp, pid);
        opens.push_back({tmp, pid, fd});
        known.push_back(opens.back());
        if (fd >= 0)
            open_now.push_back(fd);
        return fd;
    }
    static file_context_info read(int64_t fd) { return read_then(fd, real->gfread); }
    static file_context_info reread(int64_t fd) { return read_then(fd, real->gfreread); }
    static file_context_info read_then(int64_t fd, file_context_info (*real_read)(int64_t))
    {
        file_context_info info = read_as(fd, real_read);
        const opened *o = of(fd);
        if (o && find(o->name, o->pid, step::kill_after_read))
            end(o->pid);
        return info;
    }
    static file_context_info read_as(int64_t fd, file_context_info (*real_read)(int64_t))
    {
        const opened *o = of(fd);
        reads.push_back(o ? *o : opened{"(not opened)", -1, fd});
        const step failing = real_read == real->gfreread && o && find(o->name, o->pid, step::reread) ? step::reread
                                                                                                  : step::read;
        if (const fault *f = o && fd >= 0 ? find(o->name, o->pid, failing) : nullptr) {
            file_context_info info;
            info.len = -1;
            info.rbuf[0] = '\0';
            errno = f->err;
            return info;
        }
        if (const fault *f = o && fd >= 0 ? find(o->name, o->pid, step::text) : nullptr) {
            file_context_info info = real_read(fd);
            if (info.len >= 0) {
                info.len = static_cast<ssize_t>(f->text.size());
                memcpy(info.rbuf, f->text.c_str(), f->text.size() + 1);
            }
            return info;
        }
        return real_read(fd);
    }
    static void close(int64_t fd)
    {
        auto now = std::find(open_now.begin(), open_now.end(), fd);
        if (now == open_now.end())
            stray_closes++;
        else
            open_now.erase(now);
        real->gfclose(fd);
    }
    static size_t count_of(const std::vector<opened> &list, const std::string &name, int64_t pid)
    {
        return static_cast<size_t>(
            std::count_if(list.begin(), list.end(), [&](const opened &o) { return o.name == name && o.pid == pid; }));
    }
    static size_t opens_of(const std::string &name, int64_t pid) { return count_of(opens, name, pid); }
    static size_t reads_of(const std::string &name, int64_t pid) { return count_of(reads, name, pid); }
};

const file_operate faulty = {
    .gfopen = faulty_files::open,
    .gfread = faulty_files::read,
    .gfclose = faulty_files::close,
    .gfreread = faulty_files::reread,
};

class FaultyFilesTest : public CollectorTest {
protected:
    void SetUp() override
    {
        faulty_files::real = fp_get();
        faulty_files::faults.clear();
        proc_list_release(); // files an earlier test kept open
        faulty_files::opens.clear();
        faulty_files::known.clear();
        faulty_files::reads.clear();
        faulty_files::open_now.clear();
        faulty_files::stray_closes = 0;
        fp_set(&faulty);
    }
    void TearDown() override
    {
        proc_list_release();
        fp_set(nullptr);
    }
};

TEST_F(FaultyFilesTest, FailedReadsAreCountedAndEndedProcessesAreNot)
{
    using step = faulty_files::step;
    enum class row_is { kept, absent };
    const struct {
        const char *what;
        std::vector<std::tuple<const char *, step, int>> faults; // of the child; "/proc/..." are the machine's
        int8_t result;
        row_is row;
        bool known = false; // listed by a refresh before
    } cases[] = {
        {"every read works", {}, 0, row_is::kept},
        {"two failed reads", {{"stat", step::read, EIO}, {"cmdline", step::read, EIO}}, 2, row_is::kept},
        {"meminfo and statm", {{"/proc/meminfo", step::read, EIO}, {"statm", step::read, EIO}}, 2, row_is::kept},
        {"/proc/stat", {{"/proc/stat", step::read, EIO}}, 1, row_is::kept},
        {"a file it may not read", {{"cmdline", step::read, EACCES}}, 1, row_is::kept},
        {"a file it may not open", {{"statm", step::open, EACCES}}, 1, row_is::kept},
        {"entry gone on open", {{"stat", step::open, ENOENT}}, 0, row_is::absent},
        {"entry gone on read", {{"statm", step::read, ESRCH}}, 0, row_is::absent},
        {"gone after a refused read", {{"stat", step::read, EACCES}, {"cmdline", step::open, ENOENT}}, 0,
         row_is::absent},
        {"ended before statm", {{"statm", step::kill_before_open, 0}}, 0, row_is::absent},
        {"ended before its affinity", {{"cmdline", step::kill_after_read, 0}}, 0, row_is::absent},
        {"listed before, ended after its stat", {{"stat", step::kill_after_read, 0}}, 0, row_is::absent, true},
    };
    for (const auto &c : cases) {
        const pid_t child = spawn_sleeper("", "faulty-child");
        ASSERT_TRUE(test::eventually(
            [&] { return test::read_file("/proc/" + std::to_string(child) + "/comm") == "faulty-child\n"; }));
        faulty_files::faults.clear();
        if (c.known) {
            proc_list_flush(db);
            ASSERT_TRUE(stored_row(child)) << c.what;
        }
        for (auto [name, at, err] : c.faults)
            faulty_files::faults.push_back({name[0] == '/' ? 0 : child, name, at, err});
        const int8_t result = proc_list_flush(db);
        EXPECT_EQ(result, c.result) << c.what;
        auto stored = stored_row(child);
        EXPECT_EQ(stored.has_value(), c.row == row_is::kept) << c.what;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
}

TEST_F(FaultyFilesTest, FieldsOfAFailedFileStayEmpty)
{
    const pid_t child = spawn_sleeper("", "half-read");
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(child) + "/comm") == "half-read\n"; }));
    faulty_files::faults = {{child, "stat", faulty_files::step::read, EIO},
                            {child, "cmdline", faulty_files::step::read, EIO}};
    EXPECT_EQ(proc_list_flush(db), 2);
    auto stored = stored_row(child);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->comm, "");
    EXPECT_EQ(stored->cmdline, "");
    EXPECT_GT(stored->virt, 0); // statm was read
    EXPECT_GT(stored->affinity, 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    // An unreadable /proc/stat leaves no total to take percentages against;
    // unreadable meminfo no memory total.
    faulty_files::faults = {{0, "/proc/stat", faulty_files::step::read, EIO},
                            {0, "/proc/meminfo", faulty_files::step::read, EIO}};
    EXPECT_EQ(proc_list_flush(db), 2);
    EXPECT_EQ(minfo.mtime, -1);
    EXPECT_EQ(minfo.memtotal, 0);
}

TEST_F(FaultyFilesTest, MachineTotalsAndAProcessAreTakenFromTheirFiles)
{
    const pid_t child = spawn_sleeper("", "texts");
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(child) + "/comm") == "texts\n"; }));
    using step = faulty_files::step;
    faulty_files::faults = {
        {0, "/proc/stat", step::text, 0, "cpu  100 20 30 4000 5 6 7 0 0 0\ncpu0 50 10 15 2000 2 3 3 0 0 0\n"},
        {0, "/proc/meminfo", step::text, 0, "MemTotal:        8000000 kB\nMemFree:         1000 kB\n"},
        {child, "stat", step::text, 0,
         std::to_string(child) + " (my (odd) name) R 1 2 3 4 5 6 11 12 13 14 12000 345 7 8 25 -5 1 0 99 4096 10\n"},
        {child, "statm", step::text, 0, "1000 200 50 10 0 300 0\n"},
        {child, "cmdline", step::text, 0, std::string("prog\0-x\0", 8)},
    };
    EXPECT_EQ(proc_list_flush(db), 0);
    EXPECT_EQ(minfo.mtime, 4150); // user + nice + system + idle
    EXPECT_EQ(minfo.memtotal, 8000000);
    auto stored = stored_row(child);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->comm, "my (odd) name");
    EXPECT_EQ(stored->state, "R");
    EXPECT_EQ(stored->time, "02:03.45");
    EXPECT_EQ(stored->virt, 1000);
    EXPECT_EQ(stored->cmdline, "prog");
    EXPECT_EQ(stored_numbers(child, "Pr, Nice, Res, Shr, CpuTime, MinFlt, CMinFlt, MajFlt, CMajFlt"),
              (std::vector<int64_t>{25, -5, 200, 50, 12360, 11, 12, 13, 14}));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

TEST_F(FaultyFilesTest, MachineFilesAreReadOncePerRefreshAndProcessFilesUntilReleased)
{
    proc_list_flush(db);
    // Every refresh reads stat and statm once, through the files kept open
    // from the last; a known process's command line, whose name stays, is
    // read once a minute: once in twelve refreshes. Ourselves and pid 1.
    const std::array<int64_t, 2> pids = {getpid(), 1};
    std::array<size_t, 2> cmdline_reads{};
    for (int refresh = 0; refresh < 12; refresh++) {
        faulty_files::opens.clear();
        faulty_files::reads.clear();
        proc_list_flush(db);
        EXPECT_EQ(faulty_files::opens_of("/proc/stat", 0), 1u);
        EXPECT_EQ(faulty_files::reads_of("/proc/stat", 0), 1u);
        EXPECT_EQ(faulty_files::opens_of("/proc/meminfo", 0), 1u);
        EXPECT_EQ(faulty_files::reads_of("/proc/meminfo", 0), 1u);
        for (size_t p = 0; p < pids.size(); p++) {
            for (const char *name : {"stat", "statm"}) {
                EXPECT_EQ(faulty_files::opens_of(name, pids[p]), 0u) << name << " " << pids[p];
                EXPECT_EQ(faulty_files::reads_of(name, pids[p]), 1u) << name << " " << pids[p];
            }
            cmdline_reads[p] += faulty_files::reads_of("cmdline", pids[p]);
        }
    }
    EXPECT_EQ(cmdline_reads, (std::array<size_t, 2>{1, 1}));
    // Every file opened is closed once, when the list is no longer shown.
    EXPECT_GT(faulty_files::open_now.size(), 0u);
    proc_list_release();
    EXPECT_EQ(faulty_files::open_now.size(), 0u);
    EXPECT_EQ(faulty_files::stray_closes, 0);
}

TEST_F(FaultyFilesTest, AKeptFileThatFailsIsOpenedAnew)
{
    // A kept file fails once its process has ended, and the pid may name
    // another process by then: that one is read from its own files.
    const pid_t child = spawn_sleeper("", "reused");
    ASSERT_TRUE(test::eventually(
        [&] { return test::read_file("/proc/" + std::to_string(child) + "/comm") == "reused\n"; }));
    proc_list_flush(db);
    faulty_files::opens.clear();
    // Its command line too, in each of two refreshes, though a known
    // process's is read only in one of twelve.
    faulty_files::faults = {{child, "stat", faulty_files::step::reread, ESRCH}};
    faulty_files::reads.clear();
    EXPECT_EQ(proc_list_flush(db), 0);
    EXPECT_EQ(proc_list_flush(db), 0);
    EXPECT_EQ(faulty_files::opens_of("stat", child), 2u);
    EXPECT_EQ(faulty_files::reads_of("cmdline", child), 2u);
    EXPECT_EQ(faulty_files::opens_of("stat", getpid()), 0u);
    // And the command line stays the process's while it is not read.
    faulty_files::faults.clear();
    proc_list_flush(db);
    proc_list_flush(db);
    auto stored = stored_row(child);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->comm, "reused");
    const std::string args = test::read_file("/proc/" + std::to_string(child) + "/cmdline");
    EXPECT_EQ(stored->cmdline, args.substr(0, args.find('\0')));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    proc_list_release();
    EXPECT_EQ(faulty_files::open_now.size(), 0u);
    EXPECT_EQ(faulty_files::stray_closes, 0);
}

// The descriptors of /proc/<pid>/ files this test process holds.
size_t proc_files_open_of(pid_t pid)
{
    return test::open_files_under("/proc/" + std::to_string(pid) + "/");
}

TEST_F(CollectorTest, KeptFilesShowTheProcessAsItIsNowAndEndedProcessesLeave)
{
    int go[2];
    ASSERT_EQ(pipe2(go, O_CLOEXEC), 0);
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        char c;
        if (read(go[0], &c, 1) == 1)
            execl("/bin/sleep", "after-exec", "1000", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(go[0]);
    // The child's first argument is ours (under qemu-user, the emulator's):
    // read from outside, as the collector reads it.
    const std::string path = "/proc/" + std::to_string(child);
    const std::string args = test::read_file(path + "/cmdline");
    ASSERT_FALSE(args.empty());
    proc_list_flush(db);
    auto before = stored_row(child);
    ASSERT_TRUE(before);
    EXPECT_EQ(before->cmdline, args.substr(0, args.find('\0')));
    EXPECT_EQ(proc_files_open_of(child), 3u);

    // The same process with another program: its files, still open, are
    // read again from their start.
    ASSERT_EQ(write(go[1], "x", 1), 1);
    close(go[1]);
    ASSERT_TRUE(test::eventually([&] { return test::read_file(path + "/comm") == "sleep\n"; }));
    proc_list_flush(db);
    auto after = stored_row(child);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->cmdline, "after-exec");
    EXPECT_EQ(after->comm, "sleep");
    EXPECT_EQ(proc_files_open_of(child), 3u);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // An ended process leaves the table, the others stay.
    proc_list_flush(db);
    EXPECT_FALSE(stored_row(child));
    EXPECT_TRUE(stored_row(1));
    EXPECT_EQ(proc_files_open_of(child), 0u);

    EXPECT_GT(proc_files_open_of(1), 0u);
    proc_list_release();
    EXPECT_EQ(proc_files_open_of(1), 0u);
}

TEST_F(CollectorTest, FilesAreKeptOnlyWithinTheDescriptorLimitAndAShareOfMemory)
{
    // Three files a process within the descriptors above 256, stat and statm
    // within 1/256 of the machine's pages, two a process; cmdline alone for
    // the next processes. Every process is stored.
    const struct { rlim_t limit; long pages; size_t stat_kept; } cases[] = {
        {300, sysconf(_SC_PHYS_PAGES), (300 - 256) / 3}, {1024, 8 * 1024, 16}};
    // More processes than either budget keeps files for.
    std::vector<pid_t> sleepers;
    for (int i = 0; i < 40; i++)
        sleepers.push_back(spawn_sleeper("", "vask-sleeper"));
    for (const auto &c : cases) {
        const pid_t child = fork();
        if (child == 0) {
            proc_list_release();
            const rlimit low = {.rlim_cur = c.limit, .rlim_max = c.limit};
            if (setrlimit(RLIMIT_NOFILE, &low) != 0)
                _exit(2);
            proc_list_init(c.pages);
            proc_list_flush(db);
            auto kept = [](const char *name) {
                auto of = [](std::string_view path, std::string_view end) {
                    return path.starts_with("/proc/") && path.ends_with(end);
                };
                return test::open_files(of, name);
            };
            const size_t stat = kept("/stat"), statm = kept("/statm"), all = stat + statm + kept("/cmdline");
            const bool within = stat == c.stat_kept && statm == stat && all <= c.limit - 256 && all > 2 * stat;
            _exit(within && stored_row(1) && stored_row(getpid()) ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.limit << " " << status;
    }
    for (pid_t pid : sleepers) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

TEST(ProcEntries, OnlyDirectoriesNamedByShortNumbersAreProcesses)
{
    std::string tmpl = std::string(test::scratch) + "/vask-proc-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    const std::filesystem::path dir = tmpl;
    for (const char *d : {"self", "sys", "1", "1234567890", "12345678901", "9x", "x9"})
        std::filesystem::create_directory(dir / d);
    test::write_file(dir / "4242", "");
    std::filesystem::create_directory_symlink(dir / "1", dir / "77");
    std::filesystem::create_symlink(dir / "4242", dir / "78");
    const int fd = open(tmpl.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const struct {
        const char *name;
        bool taken;
    } cases[] = {
        {"self", false}, {"sys", false},  {"1", true},      {"1234567890", true}, {"12345678901", false},
        {"9x", true},    {"x9", false},   {"4242", false},  {"77", true},         {"78", false},
        {"5", false},    {"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(proc_dir_entry_is_process(fd, c.name), c.taken) << c.name;
    // The same with the type each entry has in the listing.
    DIR *listing = fdopendir(dup(fd));
    ASSERT_NE(listing, nullptr);
    size_t listed = 0;
    while (const dirent *e = readdir(listing))
        for (const auto &c : cases)
            if (strcmp(c.name, e->d_name) == 0) {
                listed++;
                EXPECT_EQ(proc_dir_entry_is_process(fd, e->d_name, e->d_type), c.taken) << c.name;
            }
    closedir(listing);
    EXPECT_EQ(listed, 10u);
    close(fd);
    std::filesystem::remove_all(dir);

    // And in the real listing.
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(proc, 0);
    EXPECT_TRUE(proc_dir_entry_is_process(proc, std::to_string(getpid()).c_str()));
    EXPECT_TRUE(proc_dir_entry_is_process(proc, "1"));
    EXPECT_FALSE(proc_dir_entry_is_process(proc, "self"));
    EXPECT_FALSE(proc_dir_entry_is_process(proc, "meminfo"));
    EXPECT_FALSE(proc_dir_entry_is_process(proc, "sys"));
    close(proc);
}

} // namespace
