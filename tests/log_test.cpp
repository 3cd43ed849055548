// The log facility, in the flavour of the program this test is built for.
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include "log.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

#if VASK_ASSISTANT
constexpr char program[] = "quillmar";
#else
constexpr char program[] = "ostrivel";
#endif

time_t fixed_now;
time_t fixed_clock()
{
    return fixed_now;
}

time_t utc(int year, int month, int day, int hour, int minute, int second)
{
    struct tm tm {};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return timegm(&tm);
}

std::string log_in(const char *dir)
{
    return test::sysroot(dir) + program + "0.log";
}

void close_log()
{
    int64_t fd = glog.fd.exchange(-1);
    if (fd >= 0)
        close(static_cast<int>(fd));
    glog.has_init = false;
}

class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        close_log();
        if (fs::exists(test::sysroot("/opt/vask/logs")) && !fs::is_directory(test::sysroot("/opt/vask/logs")))
            fs::remove(test::sysroot("/opt/vask/logs"));
        test::board::lay();
        fs::remove_all(test::sysroot("/var/log"));
        fs::remove_all(test::sysroot("/data"));
        fs::create_directories(test::sysroot("/var/log"));
        fs::create_directories(test::sysroot("/data"));
        fixed_now = utc(2026, 12, 5, 19, 41, 37);
        log_set_clock(fixed_clock);
    }
    void TearDown() override { close_log(); }

    // Opens the log at level and returns the lines written after its first.
    static std::vector<std::string> logged(uint8_t level, const std::function<void()> &fn,
                                           const char *dir = "/opt/vask/logs/")
    {
        log_init(level);
        fn();
        auto lines = test::lines_of(test::read_file(log_in(dir)));
        EXPECT_FALSE(lines.empty());
        if (!lines.empty())
            lines.erase(lines.begin());
        return lines;
    }
};

TEST_F(LogTest, StampIsTakenInUtcPlusEight)
{
    struct {
        time_t now;
        const char *stamp;
    } cases[] = {
        {utc(2026, 12, 5, 19, 41, 37), "2026-1206-03:41:37"},
        {utc(2026, 12, 31, 20, 30, 0), "2027-0101-04:30:00"},
        {utc(2028, 2, 28, 16, 0, 0), "2028-0229-00:00:00"},
        {utc(2027, 1, 1, 9, 5, 7), "2027-0101-17:05:07"},
    };
    for (const auto &c : cases) {
        fixed_now = c.now;
        auto lines = logged(LOG_LEVEL_INFO, [] { vskprint(LOG_LEVEL_INFO, "main", "pid: %d\n", 812); });
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], std::string(c.stamp) + " [II]: main -> pid: 812");
        close_log();
    }
}

TEST_F(LogTest, FirstLineNamesTheLevelAndEachLevelItsTag)
{
    log_init(LOG_LEVEL_DEBUG);
    vskprint(LOG_LEVEL_ERROR, "f", "one\n");
    vskprint(LOG_LEVEL_WARN, "f", "two\n");
    vskprint(LOG_LEVEL_INFO, "f", "three\n");
    vskprint(LOG_LEVEL_DEBUG, "f", "four\n");
    EXPECT_EQ(test::read_file(log_in("/opt/vask/logs/")), "try to write file, current level is: 4!\n"
                                                           "2026-1206-03:41:37 [EE]: f -> one\n"
                                                           "2026-1206-03:41:37 [WW]: f -> two\n"
                                                           "2026-1206-03:41:37 [II]: f -> three\n"
                                                           "2026-1206-03:41:37 [DD]: f -> four\n");
}

TEST_F(LogTest, LongMessagesAreCutAt1023CharactersAndKeepTheirLineEnd)
{
    // 1,500 characters: the message keeps 1,022 and its line end, and the
    // next line stands on its own.
    const std::string long_text(1500, 'x');
    log_init(LOG_LEVEL_DEBUG);
    vskprint(LOG_LEVEL_INFO, "main", "%s\n", long_text.c_str());
    vskprint(LOG_LEVEL_INFO, "main", "next\n");
    EXPECT_EQ(test::read_file(log_in("/opt/vask/logs/")), "try to write file, current level is: 4!\n"
                                                           "2026-1206-03:41:37 [II]: main -> " +
                                                               std::string(1022, 'x') +
                                                               "\n"
                                                               "2026-1206-03:41:37 [II]: main -> next\n");
}

TEST_F(LogTest, ALineCutAtItsBufferKeepsItsLineEnd)
{
    // The stamp, tag, a 40-character name and " -> " take 69 bytes: a full
    // message does not fit the 1,072-byte line, which is cut at 1,071.
    const std::string func(40, 'f');
    const std::string text(1021, 'm');
    log_init(LOG_LEVEL_DEBUG);
    vskprint(LOG_LEVEL_WARN, func.c_str(), "%s\n", text.c_str());
    vskprint(LOG_LEVEL_WARN, "g", "after\n");
    const std::string head = "2026-1206-03:41:37 [WW]: " + func + " -> ";
    EXPECT_EQ(test::read_file(log_in("/opt/vask/logs/")), "try to write file, current level is: 4!\n" + head +
                                                           std::string(1071 - head.size() - 1, 'm') +
                                                           "\n"
                                                           "2026-1206-03:41:37 [WW]: g -> after\n");
}

TEST_F(LogTest, ThirtyCharacterNameAndFullMessageStandWhole)
{
    const std::string func(30, 'f');
    const std::string text(1011, 'm'); // and its newline: 1012 characters
    log_init(LOG_LEVEL_DEBUG);
    vskprint(LOG_LEVEL_INFO, func.c_str(), "%s\n", text.c_str());
    std::string file = test::read_file(log_in("/opt/vask/logs/"));
    EXPECT_TRUE(file.ends_with("[II]: " + func + " -> " + text + "\n"));
}

TEST_F(LogTest, LevelFilterDropsLinesAboveTheCurrentLevel)
{
    auto all_levels = [] {
        for (uint8_t level = LOG_LEVEL_ERROR; level <= LOG_LEVEL_DEBUG; level++)
            vskprint(level, "f", "level %d\n", level);
    };
    auto at_one = logged(LOG_LEVEL_ERROR, all_levels);
    EXPECT_EQ(at_one, std::vector<std::string>{"2026-1206-03:41:37 [EE]: f -> level 1"});
    close_log();
    auto at_four = logged(LOG_LEVEL_DEBUG, all_levels);
    EXPECT_EQ(at_four.size(), 4u);
    close_log();
    auto at_two = logged(LOG_LEVEL_WARN, all_levels);
    EXPECT_EQ(at_two.size(), 2u);
}

TEST_F(LogTest, LevelsOutsideOneToFourAreDroppedOnceOpen)
{
    auto lines = logged(LOG_LEVEL_DEBUG, [] {
        vskprint(0, "f", "zero\n");
        vskprint(5, "f", "five\n"); // above the threshold of 4: dropped first
        vskprint(LOG_LEVEL_ERROR, "f", "kept\n");
    });
    EXPECT_EQ(lines, std::vector<std::string>{"2026-1206-03:41:37 [EE]: f -> kept"});
}

TEST_F(LogTest, EveryStartTruncatesTheFile)
{
    test::write_file(log_in("/opt/vask/logs/"), "left by an earlier run\nand more\n");
    auto lines = logged(LOG_LEVEL_DEBUG, [] {});
    EXPECT_TRUE(lines.empty());
}

TEST_F(LogTest, FallsBackThroughTheThreeDirectories)
{
    // Missing first directory: the second takes the file.
    fs::remove_all(test::sysroot("/opt/vask/logs"));
    auto lines = logged(LOG_LEVEL_DEBUG, [] { vskprint(LOG_LEVEL_WARN, "f", "here\n"); }, "/var/log/");
    EXPECT_EQ(lines, std::vector<std::string>{"2026-1206-03:41:37 [WW]: f -> here"});
    close_log();

    // Neither of the first two usable (a file where a directory should be
    // stops root as well): the third takes it.
    test::write_file(test::sysroot("/opt/vask/logs"), "not a directory");
    fs::remove_all(test::sysroot("/var/log"));
    lines = logged(LOG_LEVEL_DEBUG, [] { vskprint(LOG_LEVEL_WARN, "f", "there\n"); }, "/data/");
    EXPECT_EQ(lines, std::vector<std::string>{"2026-1206-03:41:37 [WW]: f -> there"});
    fs::remove(test::sysroot("/opt/vask/logs"));
}

TEST_F(LogTest, BeforeInitLinesGoToStandardErrorUnchanged)
{
    std::string err = test::capture_stderr([] {
        vskprint(LOG_LEVEL_DEBUG, "f", "debug %s\n", "line");
        vskprint(LOG_LEVEL_ERROR, "f", "error line\n");
        vskprint(0, "f", "level zero\n");
    });
#if VASK_ASSISTANT
    // The assistant checks the level before the log is open too.
    EXPECT_EQ(err, "debug line\nerror line\n");
#else
    EXPECT_EQ(err, "debug line\nerror line\nlevel zero\n");
#endif
}

TEST_F(LogTest, LogExitWritesItsLineAndCloses)
{
    std::string err = test::capture_stderr([] { log_exit(); });
#if VASK_ASSISTANT
    EXPECT_EQ(err, "prepare to clean up the log\n");
#else
    EXPECT_EQ(err, "");
#endif
    close_log();
    log_init(LOG_LEVEL_INFO);
    log_exit();
    EXPECT_EQ(glog.fd.load(), -1);
    EXPECT_TRUE(test::read_file(log_in("/opt/vask/logs/")).ends_with("[II]: log_exit -> prepare to clean up the log\n"));
}

// One message as syslog got it: its priority (facility and severity) and
// the text after the program's name.
struct syslog_entry {
    int priority;
    std::string text;
    bool operator==(const syslog_entry &) const = default;
};

std::ostream &operator<<(std::ostream &os, const syslog_entry &e)
{
    return os << "<" << e.priority << "> " << e.text;
}

constexpr int local6 = 22 << 3;

// Runs fn in a child with a private /dev whose /dev/log is a socket of the
// test's own; returns what reached it, in order. nullopt when the host does
// not let the test have a mount namespace.
std::optional<std::vector<syslog_entry>> syslog_of(const std::function<void()> &fn)
{
    std::string path = std::string(test::scratch) + "/vask-syslog-XXXXXX";
    int out = mkstemp(path.data());
    if (out < 0)
        return std::nullopt;
    pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/dev", "tmpfs", 0, nullptr) != 0)
            _exit(77);
        int sock = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        strcpy(addr.sun_path, "/dev/log");
        if (sock < 0 || bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            _exit(78);
        closelog(); // a connection from before the fork goes to the host's
        fn();
        char buf[4096];
        for (;;) {
            ssize_t n = recv(sock, buf, sizeof(buf), MSG_DONTWAIT);
            if (n < 0)
                break;
            (void)!write(out, buf, static_cast<size_t>(n));
            (void)!write(out, "", 1);
        }
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(out);
    std::string all = test::read_file(path);
    unlink(path.c_str());
    // 77 and 78: no namespace of its own here. Any other failure shows.
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
        return std::nullopt;
    std::vector<syslog_entry> entries;
    if (WEXITSTATUS(status) != 0)
        entries.push_back({-1, "exit " + std::to_string(WEXITSTATUS(status))});
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\0', at);
        std::string d = all.substr(at, end - at);
        at = end + 1;
        // "<PRI>Mmm dd hh:mm:ss name: text"
        size_t close_angle = d.find('>');
        constexpr size_t stamp = 16; // "Mmm dd hh:mm:ss "
        size_t name_end = close_angle == std::string::npos ? std::string::npos : d.find(": ", close_angle + stamp);
        bool digits = close_angle != std::string::npos && close_angle > 1 &&
                      d.find_first_not_of("0123456789", 1) == close_angle;
        if (d.empty() || d[0] != '<' || !digits || name_end == std::string::npos)
            entries.push_back({-1, d});
        else
            entries.push_back({std::stoi(d.substr(1, close_angle - 1)), d.substr(name_end + 2)});
    }
    return entries;
}

TEST_F(LogTest, ProblemsOfTheLogGoToSyslogAsLocal6)
{
    const std::string first = log_in("/opt/vask/logs/");
    auto got = syslog_of([] {
        log_init(LOG_LEVEL_DEBUG);
        vskprint(0, "f", "zero\n");
        vskprint(5, "f", "five\n"); // above the threshold of 4: dropped first
        // A descriptor that cannot be written: the line is lost, and said so.
        int64_t fd = glog.fd.exchange(open(log_in("/opt/vask/logs/").c_str(), O_RDONLY | O_CLOEXEC));
        vskprint(LOG_LEVEL_ERROR, "f", "lost\n");
        close(static_cast<int>(glog.fd.exchange(fd)));
    });
    if (!got)
        GTEST_SKIP() << "no private mount namespace here";
    const std::string lost = "2026-1206-03:41:37 [EE]: f -> lost\n";
    EXPECT_EQ(*got, (std::vector<syslog_entry>{
                        {local6 | LOG_INFO, "log_init: ready to init log\n"},
                        {local6 | LOG_INFO, "log_file_open: log file open successfully with path: " + first + "\n"},
                        {local6 | LOG_WARNING, "vskprint: need the right level of debugging [1 - 4]\n"},
                        {local6 | LOG_WARNING, "vskprint: failed to write log file, content: f -> " + lost +
                                                   ", errno: 9\n"},
                    }));
}

TEST_F(LogTest, ADirectoryThatFailsAndNoneThatWorksGoToSyslog)
{
    // No directory can take the file: each failure, then the end, exit 255;
    // the assistant goes on, its lines on standard error.
#if VASK_ASSISTANT
    constexpr int exit_status = 7;
    const char *end = "log_file_open: all log files have failed to be created, lines go to standard error, errno: 2\n";
#else
    constexpr int exit_status = 255;
    const char *end = "log_file_open: all log files have failed to be created and the program will exit, errno: 2\n";
#endif
    fs::remove_all(test::sysroot("/opt/vask/logs"));
    test::write_file(test::sysroot("/opt/vask/logs"), "not a directory");
    fs::remove_all(test::sysroot("/var/log"));
    fs::remove_all(test::sysroot("/data"));
    int status = -1;
    auto got = syslog_of([&] {
        pid_t pid = fork();
        if (pid == 0) {
            log_init(LOG_LEVEL_INFO);
            vskprint(LOG_LEVEL_ERROR, "test", "after the log\n");
            _exit(7);
        }
        waitpid(pid, &status, 0);
        (void)!write(STDERR_FILENO, "", 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != exit_status)
            _exit(1);
    });
    fs::remove(test::sysroot("/opt/vask/logs"));
    if (!got)
        GTEST_SKIP() << "no private mount namespace here";
    std::vector<syslog_entry> want = {{local6 | LOG_INFO, "log_init: ready to init log\n"}};
    for (const char *dir : {"/opt/vask/logs/", "/var/log/", "/data/"})
        want.push_back({local6 | LOG_WARNING, "log_file_open: log file failed to open with path: " + log_in(dir) + "\n"});
    want.push_back({local6 | LOG_ERR, end});
    EXPECT_EQ(*got, want);
}

} // namespace
