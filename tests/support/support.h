// Helpers shared by the tests: running the real programs, laying out and
// reading the simulated board, and talking the queue wire format directly.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "wire.h"

namespace test {

using namespace std::chrono_literals;

std::string bin(std::string_view name);
std::string source(std::string_view rel);
std::string sysroot(std::string_view rel);

// Whether the whole text was written.
bool write_file(const std::string &path, std::string_view text);

// The run's own scratch directory: a tmpfs of the run's mount namespace,
// gone with the run, also when it is killed.
inline constexpr char scratch[] = "/run";
// The run's own copy of /etc/group, bound over the machine's.
inline constexpr char group_copy[] = "/run/group";

// A wait status as a shell gives it: the exit status, or 128 + the signal.
int exit_status(int wait_status);

// A file taken away from its path for a while and put back: the same inode,
// so the queue keys made from it stay the same.
class file_away {
public:
    explicit file_away(std::string path);
    file_away(const file_away &) = delete;
    file_away &operator=(const file_away &) = delete;
    ~file_away() { back(); }
    void back();

private:
    std::string path_;
    bool away_ = false;
};

// The descriptors this process holds on files whose path is taken.
size_t open_files(bool (*taken)(std::string_view path, std::string_view arg), std::string_view arg = {});
// ... on files under prefix.
size_t open_files_under(std::string_view prefix);

// Splits a text into its lines, each without its line end.
std::vector<std::string> lines_of(std::string_view text);
// Whether every wanted line occurs in text, in this order, as a whole line.
bool has_lines_in_order(std::string_view text, const std::vector<std::string> &wanted);

struct run_result {
    int status = -1; // exit status, or 128 + signal
    std::string out;
    std::string err;
};

run_result run(const std::vector<std::string> &argv);

// A program running in the background, its output going to files.
class process {
public:
    explicit process(const std::vector<std::string> &argv);
    process(const process &) = delete;
    process &operator=(const process &) = delete;
    ~process();

    pid_t pid() const { return pid_; }
    void signal(int signo) const;
    // Waits for the exit; returns the exit status, or 128 + signal.
    int wait();
    std::string err() const;

private:
    pid_t pid_ = -1;
    std::string err_path_;
    bool reaped_ = false;
};


namespace board {

// Lays out a fresh simulated board; extra options as scripts/sim-board takes.
void lay(const std::vector<std::string> &options = {});
std::string show();
std::string otg_mode();
std::string sysrq();
std::string trigger();
uint32_t reg(uint64_t physical);
void set_reg(uint64_t physical, uint32_t value);

inline constexpr uint64_t soc_con6 = 0xfd58c000 + 0x318;
inline constexpr uint64_t iomux = 0xfd5f8000 + 0x98;

} // namespace board


// Runs fn with standard error going to a file; returns what was written.
std::string capture_stderr(const std::function<void()> &fn);

} // namespace test
