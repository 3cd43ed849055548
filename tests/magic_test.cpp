// The kernel control file handlers against the simulated board's files.
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "magic.h"
#include "paths.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

class MagicTest : public ::testing::Test {
protected:
    void SetUp() override { test::board::lay(); }
};

struct switch_case {
    const char *before;
    bool toggle;
    vkstatus result;
    const char *after;
};

TEST_F(MagicTest, OtgModeIsJudgedAndToggled)
{
    const switch_case cases[] = {
        {"host\n", false, vkstatus::vkoff, "host\n"},
        {"host\n", true, vkstatus::vkon, "otg"},
        {"otg\n", false, vkstatus::vkon, "otg\n"},
        {"otg\n", true, vkstatus::vkoff, "host"},
        {"peripheral\n", false, vkstatus::vkoff, "peripheral\n"},
        {"peripheral\n", true, vkstatus::vkoff, "host"},
        {"hostile\n", true, vkstatus::vkon, "otg"}, // begins with "host"
    };
    for (const auto &c : cases) {
        test::write_file(paths::otg_mode, c.before);
        vkstatus result = vkstatus::vkunknow;
        test::capture_stderr([&] { result = otg_status_handle(c.toggle); });
        EXPECT_EQ(result, c.result) << c.before << " toggle " << c.toggle;
        EXPECT_EQ(test::board::otg_mode(), c.after) << c.before << " toggle " << c.toggle;
    }
}

TEST_F(MagicTest, SysrqEnableIsJudgedAndToggled)
{
    const switch_case cases[] = {
        {"0\n", false, vkstatus::vkoff, "0\n"},
        {"0\n", true, vkstatus::vkon, "1"},
        {"176\n", false, vkstatus::vkon, "176\n"},
        {"176\n", true, vkstatus::vkoff, "0"}, // a partial mask is on; the toggle disables all
        {"1\n", true, vkstatus::vkoff, "0"},
        {"438\n", false, vkstatus::vkon, "438\n"},
    };
    for (const auto &c : cases) {
        test::write_file(paths::sysrq_enable, c.before);
        vkstatus result = vkstatus::vkunknow;
        test::capture_stderr([&] { result = sysrq_switch_status_handle(c.toggle); });
        EXPECT_EQ(result, c.result) << c.before << " toggle " << c.toggle;
        EXPECT_EQ(test::board::sysrq(), c.after) << c.before << " toggle " << c.toggle;
    }
}

TEST_F(MagicTest, ToggleLogsEveryStepAndWarnsOnSuccess)
{
    test::board::lay({"--otg", "host"});
    std::string err = test::capture_stderr([] { EXPECT_EQ(otg_status_handle(true), vkstatus::vkon); });
    const std::string path = paths::otg_mode;
    auto lines = test::lines_of(err);
    ASSERT_EQ(lines.size(), 5u) << err;
    EXPECT_EQ(lines[0], "prepare to open file with " + path);
    EXPECT_TRUE(lines[1].starts_with("prepare to read file with fd: "));
    EXPECT_TRUE(lines[2].starts_with("prepare to write file with fd: "));
    EXPECT_EQ(lines[3], "set the status to otg success");
    EXPECT_TRUE(lines[4].starts_with("prepare to close file with fd: "));

    // The success line is a warning in the log file.
    log_init(LOG_LEVEL_DEBUG);
    sysrq_switch_status_handle(true);
    log_exit();
    glog.has_init = false;
    std::string log = test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log"));
    EXPECT_NE(log.find("[WW]: file_write -> set the status to 0 success\n"), std::string::npos) << log;
}

TEST_F(MagicTest, MissingAttributeIsUnknown)
{
    test::board::lay({"--no-otg"});
    vkstatus result = vkstatus::vkon;
    std::string err = test::capture_stderr([&] { result = otg_status_handle(true); });
    EXPECT_EQ(result, vkstatus::vkunknow);
    EXPECT_TRUE(test::has_lines_in_order(
        err, {"failed to open file " + std::string(paths::otg_mode) + " with errno: " + std::to_string(ENOENT),
              "bad file descriptor"}))
        << err;
    EXPECT_EQ(err.find("prepare to close file"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(paths::otg_mode));
}

// The module's own file operations, except that writes (or reads) go to a
// descriptor that refuses them: the real operation fails as the kernel would
// have it fail, while the other operations work on the board's files.
struct refusing_files {
    static inline const file_operate *real = nullptr;
    static inline bool refuse_read = false;
    static inline std::vector<int64_t> closed;
    static inline int writes = 0;

    static int64_t open(const char *path) { return real->gfopen(path); }
    static file_context_info read(int64_t fd)
    {
        if (!refuse_read)
            return real->gfread(fd);
        int wronly = ::open("/dev/null", O_WRONLY | O_CLOEXEC); // EBADF on read
        file_context_info info = real->gfread(wronly);
        ::close(wronly);
        return info;
    }
    static file_context_info write(int64_t, const char *cmd)
    {
        writes++;
        int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC); // ENOSPC on write
        file_context_info info = real->gfwrite(full, cmd);
        ::close(full);
        return info;
    }
    static void close(int64_t fd)
    {
        closed.push_back(fd);
        real->gfclose(fd);
    }
};

const file_operate refusing = {
    .gfopen = refusing_files::open,
    .gfread = refusing_files::read,
    .gfwrite = refusing_files::write,
    .gfclose = refusing_files::close,
};

class RefusingMagicTest : public MagicTest {
protected:
    void SetUp() override
    {
        MagicTest::SetUp();
        refusing_files::real = fp_get();
        refusing_files::refuse_read = false;
        refusing_files::closed.clear();
        refusing_files::writes = 0;
        fp_set(&refusing);
    }
    void TearDown() override { fp_set(nullptr); }
};

TEST_F(RefusingMagicTest, RefusedWriteReportsTheStateReadBefore)
{
    const struct {
        const char *path;
        vkstatus (*handle)(bool);
        const char *before;
        const char *written;
        vkstatus result;
    } cases[] = {
        {paths::sysrq_enable, sysrq_switch_status_handle, "0\n", "1", vkstatus::vkoff},
        {paths::sysrq_enable, sysrq_switch_status_handle, "176\n", "0", vkstatus::vkon},
        {paths::otg_mode, otg_status_handle, "otg\n", "host", vkstatus::vkon},
        {paths::otg_mode, otg_status_handle, "host\n", "otg", vkstatus::vkoff},
    };
    for (const auto &c : cases) {
        test::write_file(c.path, c.before);
        vkstatus result = vkstatus::vkunknow;
        std::string err = test::capture_stderr([&] { result = c.handle(true); });
        EXPECT_EQ(result, c.result) << c.before;
        EXPECT_EQ(test::read_file(c.path), c.before);
        EXPECT_TRUE(test::has_lines_in_order(err, {std::string("failed to write file with cmd: ") + c.written +
                                                   ", errno: " + std::to_string(ENOSPC)}))
            << err;
        EXPECT_EQ(err.find("success"), std::string::npos) << err;
    }
}

TEST_F(RefusingMagicTest, FailedReadIsUnknownAndClosesTheFile)
{
    refusing_files::refuse_read = true;
    for (auto handle : {otg_status_handle, sysrq_switch_status_handle}) {
        for (bool toggle : {false, true}) {
            refusing_files::closed.clear();
            vkstatus result = vkstatus::vkon;
            std::string err = test::capture_stderr([&] { result = handle(toggle); });
            EXPECT_EQ(result, vkstatus::vkunknow);
            EXPECT_TRUE(test::has_lines_in_order(err, {"failed to read file with errno: " + std::to_string(EBADF)}))
                << err;
            EXPECT_EQ(refusing_files::closed.size(), 1u);
            if (!refusing_files::closed.empty()) {
                EXPECT_GE(refusing_files::closed[0], 0);
            }
        }
    }
    EXPECT_EQ(refusing_files::writes, 0);
    EXPECT_EQ(test::board::otg_mode(), "otg\n");
    EXPECT_EQ(test::board::sysrq(), "176\n");
}

TEST_F(MagicTest, TriggerTakesTheWholeCommand)
{
    for (const char *cmd : {"b", "5", "b1", "s"}) {
        std::string err = test::capture_stderr([&] { sysrq_trigger_status_handle(cmd); });
        EXPECT_EQ(test::board::trigger(), cmd);
        EXPECT_TRUE(test::has_lines_in_order(err, {std::string("set the status to ") + cmd + " success"})) << err;
    }
}

TEST_F(MagicTest, MissingTriggerTriggersNothing)
{
    fs::remove(paths::sysrq_trigger);
    std::string err = test::capture_stderr([] { sysrq_trigger_status_handle("b"); });
    EXPECT_TRUE(test::has_lines_in_order(
        err, {"failed to open file " + std::string(paths::sysrq_trigger) + " with errno: " + std::to_string(ENOENT),
              "bad file descriptor", "prepare to close file with fd: -1"}))
        << err;
    EXPECT_FALSE(fs::exists(paths::sysrq_trigger));
}

TEST_F(MagicTest, FileOperationsReportBadDescriptors)
{
    const file_operate &fop = *fp_get();
    std::string err = test::capture_stderr([&] {
        EXPECT_EQ(fop.gfread(-1).len, -1);
        EXPECT_EQ(fop.gfwrite(-1, "x").len, -1);
    });
    EXPECT_EQ(test::lines_of(err), (std::vector<std::string>{"prepare to read file with fd: -1", "bad file descriptor",
                                                             "prepare to write file with fd: -1",
                                                             "bad file descriptor"}));
}

} // namespace
