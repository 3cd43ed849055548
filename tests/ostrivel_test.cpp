// The real ostrivel binary from its command line, against the simulated board:
// exit status, standard error and the board's files afterwards.
#include <filesystem>
#include <gtest/gtest.h>
#include <signal.h>

#include "paths.h"
#include "support.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> usage_text = {
    "---------------------------------------------------------------------",
    "| usage: sudo ostrivel [mp] {muggle}                        |",
    "---------------------------------------------------------------------",
    "| mp (mana point) introduce:                                        |",
    "|     use features by setting the mp bits, or ask for help          |",
    "| usage: -h / -? / --help                                           |",
    "| bit0:  otg   toggle -> 1  | original -> 0                         |",
    "| bit1:  jtag  toggle -> 2  | original -> 0                         |",
    "| bit2:  sysrq toggle -> 4  | original -> 0                         |",
    "---------------------------------------------------------------------",
    "| muggle introduce:                                                 |",
    "|     syrsrq is a magic that turns into a muggle when used          |",
    "|     https://www.kernel.org/doc/html/latest/admin-guide/sysrq.html |",
    "| b - z: use the command sysrq                                      |",
    "| 0 - 9: set the log level                                          |",
    "---------------------------------------------------------------------",
};

test::run_result ostrivel(std::vector<std::string> args)
{
    args.insert(args.begin(), test::bin("ostrivel"));
    return test::run(args);
}

// The board as the command line can see it.
struct board_state {
    std::string otg;
    uint32_t iomux;
    std::string sysrq;
    std::string trigger;
    bool operator==(const board_state &) const = default;
};

std::ostream &operator<<(std::ostream &os, const board_state &b)
{
    return os << "{otg '" << b.otg << "', iomux 0x" << std::hex << b.iomux << std::dec << ", sysrq '" << b.sysrq
              << "', trigger '" << b.trigger << "'}";
}

board_state board_now()
{
    return {test::board::otg_mode(), test::board::reg(test::board::iomux), test::board::sysrq(),
            test::board::trigger()};
}

const board_state fresh = {"otg\n", 0x5500, "176\n", ""};

class OstrivelTest : public ::testing::Test {
protected:
    void SetUp() override { test::board::lay(); }
};

TEST_F(OstrivelTest, UsageTextIsPrintedWholeAndExitsOne)
{
    const std::vector<std::vector<std::string>> forms = {
        {"-h"}, {"-?"}, {"--help"}, {"--helpme"}, {"-hx"}, {"mp", "bb"}, {"mp", "a"},
        {"mp", "55"}, {"mp", "B"}, {"xx", "b"}, {"MP", "5"},
    };
    std::vector<std::string> expected = usage_text;
    expected.push_back("the program will exit with exitno: 1");
    for (const auto &args : forms) {
        auto r = ostrivel(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(test::lines_of(r.err), expected) << args[0];
        EXPECT_EQ(board_now(), fresh) << args[0];
    }
    // Every line but the second is 70 characters wide with its line end.
    for (size_t i = 0; i < usage_text.size(); i++)
        EXPECT_EQ(usage_text[i].size() + 1, i == 1 ? 62u : 70u) << i;
}

TEST_F(OstrivelTest, FeatureRequestsToggleTheirBitsInOrder)
{
    struct {
        const char *mp;
        board_state after;
        std::vector<const char *> switches; // "true " or "false" for otg, jtag, sysrq
    } cases[] = {
        {"0", fresh, {"false", "false", "false"}},
        {"8", fresh, {"false", "false", "false"}},
        {"1", {"host", 0x5500, "176\n", ""}, {"true ", "false", "false"}},
        {"2", {"otg\n", 0xffff11aa, "176\n", ""}, {"false", "true ", "false"}},
        {"4", {"otg\n", 0x5500, "0", ""}, {"false", "false", "true "}},
        {"7", {"host", 0xffff11aa, "0", ""}, {"true ", "true ", "true "}},
        {"9", {"host", 0x5500, "176\n", ""}, {"true ", "false", "false"}},
        {"5x", {"host", 0x5500, "0", ""}, {"true ", "false", "true "}},
    };
    for (const auto &c : cases) {
        test::board::lay();
        auto r = ostrivel({c.mp});
        EXPECT_EQ(r.status, 2) << c.mp;
        EXPECT_EQ(board_now(), c.after) << c.mp;
        EXPECT_TRUE(test::has_lines_in_order(r.err, {std::string("whether switch otg status: ") + c.switches[0],
                                                     std::string("whether switch jtag status: ") + c.switches[1],
                                                     std::string("whether switch sysrq status: ") + c.switches[2],
                                                     "the program will exit with exitno: 2"}))
            << c.mp << "\n"
            << r.err;
    }
}

TEST_F(OstrivelTest, SevenTogglesOtgThenPinsThenSysrq)
{
    auto r = ostrivel({"7"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(test::has_lines_in_order(r.err, {"whether switch otg status: true ", "set the status to host success",
                                                 "whether switch jtag status: true ",
                                                 "will set register status to jtag & uart mode",
                                                 "whether switch sysrq status: true ", "set the status to 0 success"}))
        << r.err;
}

TEST_F(OstrivelTest, OtherStartingStatesToggleBack)
{
    test::board::lay({"--otg", "host", "--sysrq", "0", "--pins", "jtag"});
    auto r = ostrivel({"7"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(board_now(), (board_state{"otg", 0xffff5500, "1", ""}));
    EXPECT_TRUE(test::has_lines_in_order(r.err, {"will set register status to sd card mode"})) << r.err;
}

TEST_F(OstrivelTest, TextsThatAreNoFeatureRequestChangeNothing)
{
    for (const char *mp : {"12", "abc", "x1", "-x", "--hel"}) {
        auto r = ostrivel({mp});
        EXPECT_EQ(r.status, 2) << mp;
        EXPECT_EQ(test::lines_of(r.err),
                  (std::vector<std::string>{"mp of ostrivel is not used correctly", "the program will exit with exitno: 2"}))
            << mp;
        EXPECT_EQ(board_now(), fresh) << mp;
    }
}

TEST_F(OstrivelTest, MuggleCommandsAreWrittenWholeToTheTrigger)
{
    struct {
        const char *muggle;
        const char *trigger;
    } cases[] = {{"5", "5"}, {"b1", "b1"}, {"s", "s"}, {"9x", "9x"}, {"z", "z"}};
    for (const auto &c : cases) {
        auto r = ostrivel({"mp", c.muggle});
        EXPECT_EQ(r.status, 2) << c.muggle;
        EXPECT_EQ(test::board::trigger(), c.trigger) << c.muggle;
        EXPECT_TRUE(test::has_lines_in_order(r.err, {std::string("set the status to ") + c.muggle + " success",
                                                     "the program will exit with exitno: 2"}))
            << r.err;
        EXPECT_EQ(test::board::otg_mode(), "otg\n");
        EXPECT_EQ(test::board::sysrq(), "176\n");
    }
}

// The kernel's trigger is root's, write-only (0200), and the service runs
// without CAP_DAC_OVERRIDE; a command the kernel did not take is a failure.
TEST_F(OstrivelTest, SysRqCommandsReachTheKernelOrFailLoudly)
{
    const std::string no_override = "--bounding-set=-dac_override,-dac_read_search";
    struct {
        const char *board; // how the trigger is laid
        const char *muggle;
        int status;
        const char *trigger;
    } cases[] = {
        {"write-only", "h", 2, "h"},
        {"write-only", "7", 2, "7"},
        {"missing", "h", 3, nullptr},
        {"full", "5", 3, nullptr},
    };
    for (const auto &c : cases) {
        test::board::lay();
        const std::string board = c.board;
        if (board == "write-only")
            fs::permissions(paths::sysrq_trigger, fs::perms::owner_write);
        if (board != "write-only")
            fs::remove(paths::sysrq_trigger);
        if (board == "full")
            fs::create_symlink("/dev/full", paths::sysrq_trigger);
        auto r = test::run({"/usr/bin/setpriv", no_override, "--", test::bin("ostrivel"), "mp", c.muggle});
        EXPECT_EQ(r.status, c.status) << c.board << " " << c.muggle << "\n" << r.err;
        if (c.trigger) {
            EXPECT_EQ(test::board::trigger(), c.trigger) << c.board;
        }
        const std::string failed = std::string("the SysRq command ") + c.muggle + " did not reach the kernel";
        EXPECT_EQ(test::has_lines_in_order(r.err, {failed}), c.status == 3) << r.err;
    }
}

TEST_F(OstrivelTest, UnreadableFeaturesCountAsOff)
{
    test::board::lay({"--no-otg", "--no-mem"});
    auto r = ostrivel({"3"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(test::has_lines_in_order(
        r.err, {"whether switch otg status: true ",
                "failed to open file " + std::string(paths::otg_mode) + " with errno: 2", "bad file descriptor",
                "whether switch jtag status: true ", "failed to map GRF memory at 0xfd58c000",
                "whether switch sysrq status: false", "the program will exit with exitno: 2"}))
        << r.err;
    EXPECT_FALSE(fs::exists(paths::otg_mode));
}

TEST_F(OstrivelTest, RefusedWriteIsReportedAndNotTakenForTheNewState)
{
    fs::remove(paths::sysrq_enable);
    fs::create_symlink("/dev/full", paths::sysrq_enable);
    auto r = ostrivel({"4"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(test::has_lines_in_order(r.err, {"failed to write file with cmd: 0, errno: 28"})) << r.err;
    EXPECT_EQ(r.err.find("set the status to 0 success"), std::string::npos) << r.err;
}

TEST_F(OstrivelTest, ThreeOrMoreArgumentsRunTheService)
{
    for (int signo : {SIGTERM, SIGINT}) {
        fs::remove(test::sysroot("/opt/vask/logs/ostrivel0.log"));
        test::process daemon({test::bin("ostrivel"), "a", "b", "c"});
        ASSERT_TRUE(test::wait_until_receiving(daemon.pid()));
        daemon.signal(signo);
        EXPECT_EQ(daemon.wait(), signo);
        std::string log = test::read_file(test::sysroot("/opt/vask/logs/ostrivel0.log"));
        EXPECT_TRUE(log.starts_with("try to write file, current level is: 4!\n")) << log;
        auto lines = test::lines_of(log);
        ASSERT_GE(lines.size(), 4u) << log;
        const std::string tail[] = {
            "[II]: signal_handle -> receive SIGTERM or SIGTERM, the program will exit, signo: " + std::to_string(signo),
            "[II]: ostrivel_clean_up -> the program will exit with exitno: " + std::to_string(signo),
            "[II]: log_exit -> prepare to clean up the log",
        };
        for (size_t i = 0; i < 3; i++)
            EXPECT_TRUE(lines[lines.size() - 3 + i].ends_with(tail[i])) << log;
        EXPECT_NE(log.find("[II]: main -> log initialization complete, ostrivel v3.1, pid: " +
                           std::to_string(daemon.pid()) + "\n"),
                  std::string::npos)
            << log;
        EXPECT_EQ(daemon.err(), "");
    }
}

TEST_F(OstrivelTest, LogThatCannotBeOpenedEndsTheService)
{
    // No directory can take the log: exit 255 at once.
    fs::remove_all(test::sysroot("/opt/vask/logs"));
    fs::remove_all(test::sysroot("/var/log"));
    fs::remove_all(test::sysroot("/data"));
    auto r = ostrivel({});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");

    // The first line cannot be written: the clean-up runs with -2. The log
    // directory is a full file system of one page, in a mount namespace of
    // the run's own (a link to /dev/full would only be replaced).
    test::board::lay();
    r = test::run({"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                   "mount --make-rprivate / && mount -t tmpfs -o size=4k tmpfs \"$1\" && "
                   "{ head -c 8192 /dev/zero >\"$1/fill\" 2>/dev/null || true; } && exec \"$2\"",
                   "sh", test::sysroot("/opt/vask/logs"), test::bin("ostrivel")});
    if (r.status != 0 && r.err.find("mount") != std::string::npos)
        GTEST_SKIP() << "no private mount namespace here: " << r.err;
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.err, "the program will exit with exitno: -2\n");
}

} // namespace
