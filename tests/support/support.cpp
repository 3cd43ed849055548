// Test helpers: processes, the simulated board and the raw wire format.
#include "support.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "paths.h"

namespace test {

std::string bin(std::string_view name)
{
    return std::string(VASK_BIN_DIR) + "/" + std::string(name);
}

std::string source(std::string_view rel)
{
    return std::string(VASK_SOURCE_DIR) + "/" + std::string(rel);
}

std::string sysroot(std::string_view rel)
{
    return std::string(paths::sysroot) + std::string(rel);
}

bool write_file(const std::string &path, std::string_view text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

file_away::file_away(std::string path) : path_(std::move(path))
{
    away_ = rename(path_.c_str(), (path_ + ".away").c_str()) == 0;
}

void file_away::back()
{
    if (away_)
        rename((path_ + ".away").c_str(), path_.c_str());
    away_ = false;
}

size_t open_files(bool (*taken)(std::string_view path, std::string_view arg), std::string_view arg)
{
    size_t count = 0;
    for (const auto &fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code err;
        if (taken(std::filesystem::read_symlink(fd.path(), err).string(), arg))
            count++;
    }
    return count;
}

size_t open_files_under(std::string_view prefix)
{
    return open_files([](std::string_view path, std::string_view under) { return path.starts_with(under); }, prefix);
}

std::vector<std::string> lines_of(std::string_view text)
{
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t end = text.find('\n');
        lines.emplace_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool has_lines_in_order(std::string_view text, const std::vector<std::string> &wanted)
{
    auto lines = lines_of(text);
    size_t at = 0;
    for (const auto &line : lines)
        if (at < wanted.size() && line == wanted[at])
            at++;
    return at == wanted.size();
}

int exit_status(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

namespace {

// A fresh empty file of the caller's, to be unlinked when done.
std::string temp_path()
{
    std::string tmpl = std::string(scratch) + "/vask-test-XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd >= 0)
        close(fd);
    return tmpl;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
{
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(o, 1);
        dup2(e, 2);
        // The program gets its three standard streams and nothing more.
        if (close_range(3, ~0U, 0) != 0)
            for (int fd = 3; fd < 1024; fd++)
                close(fd);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

} // namespace

run_result run(const std::vector<std::string> &argv)
{
    std::string out = temp_path(), err = temp_path();
    pid_t pid = spawn(argv, out, err);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
    }
    run_result r{exit_status(wstatus), read_file(out), read_file(err)};
    unlink(out.c_str());
    unlink(err.c_str());
    return r;
}

process::process(const std::vector<std::string> &argv) : err_path_(temp_path())
{
    pid_ = spawn(argv, "/dev/null", err_path_);
}

process::~process()
{
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        wait();
    }
    unlink(err_path_.c_str());
}

void process::signal(int signo) const
{
    kill(pid_, signo);
}

int process::wait()
{
    int wstatus = 0;
    while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return exit_status(wstatus);
}

std::string process::err() const
{
    return read_file(err_path_);
}

namespace board {

void lay(const std::vector<std::string> &options)
{
    std::vector<std::string> argv = {source("scripts/sim-board")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(paths::sysroot);
    run_result r = run(argv);
    if (r.status != 0) {
        fprintf(stderr, "sim-board failed: %s\n", r.err.c_str());
        abort();
    }
}

std::string show()
{
    return run({source("scripts/sim-board"), "--show", paths::sysroot}).out;
}

std::string otg_mode()
{
    return read_file(paths::otg_mode);
}

std::string sysrq()
{
    return read_file(paths::sysrq_enable);
}

std::string trigger()
{
    return read_file(paths::sysrq_trigger);
}

uint32_t reg(uint64_t physical)
{
    uint32_t value = 0;
    int fd = open(paths::dev_mem, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (pread(fd, &value, sizeof(value), static_cast<off_t>(physical)) != sizeof(value))
            value = 0xdeadbeef;
        close(fd);
    }
    return value;
}

void set_reg(uint64_t physical, uint32_t value)
{
    int fd = open(paths::dev_mem, O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        (void)!pwrite(fd, &value, sizeof(value), static_cast<off_t>(physical));
        close(fd);
    }
}

} // namespace board


std::string capture_stderr(const std::function<void()> &fn)
{
    fflush(stderr);
    std::string path = temp_path();
    int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    int saved = dup(STDERR_FILENO);
    dup2(file, STDERR_FILENO);
    fn();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    std::string text = read_file(path);
    unlink(path.c_str());
    return text;
}

} // namespace test
