// The kernel control file handlers against the simulated board's files.
#include <cerrno>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

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

TEST_F(MagicTest, RefusedWriteReportsTheStateReadBefore)
{
    // /dev/full reads as an empty value and refuses every write.
    fs::remove(paths::sysrq_enable);
    fs::create_symlink("/dev/full", paths::sysrq_enable);
    vkstatus result = vkstatus::vkunknow;
    std::string err = test::capture_stderr([&] { result = sysrq_switch_status_handle(true); });
    // Read as not "0", so on; the write of "0" failed, so still on.
    EXPECT_EQ(result, vkstatus::vkon);
    EXPECT_TRUE(test::has_lines_in_order(err, {"failed to write file with cmd: 0, errno: " + std::to_string(ENOSPC)}))
        << err;
    EXPECT_EQ(err.find("success"), std::string::npos) << err;

    fs::remove(paths::otg_mode);
    fs::create_symlink("/dev/full", paths::otg_mode);
    test::capture_stderr([&] { result = otg_status_handle(true); });
    EXPECT_EQ(result, vkstatus::vkoff);
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
