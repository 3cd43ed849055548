// The queue wire format spoken directly, without the programs' channel code:
// for tests, and for driving a running service by hand.
#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <thread>
#include <dirent.h>
#include <fstream>
#include <sstream>

#include "paths.h"

namespace test {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool eventually(const std::function<bool()> &pred)
{
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

bool wait_until_receiving(pid_t pid)
{
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    return eventually([&] {
        DIR *dir = opendir(task_dir.c_str());
        if (!dir)
            return false;
        bool receiving = false;
        while (dirent *e = readdir(dir)) {
            if (e->d_name[0] == '.')
                continue;
            // Asleep (a woken receiver still shows the call until it runs)
            // in msgrcv. The kernel's name for the wait, unlike the call's
            // number, is the same for a program run under qemu-user.
            const std::string task = task_dir + "/" + e->d_name;
            std::string stat = read_file(task + "/stat");
            size_t paren = stat.rfind(')');
            bool sleeping = paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
            if (sleeping && read_file(task + "/wchan") == "do_msgrcv")
                receiving = true;
        }
        closedir(dir);
        return receiving;
    });
}

namespace wire {

namespace {

struct raw_msg {
    long mtype;
    char text[64];
};

int queue(const char *key_file, char id, int mode)
{
    key_t key = ftok(key_file, id);
    return key < 0 ? -1 : msgget(key, IPC_CREAT | mode);
}

} // namespace

int request_queue()
{
    return queue(paths::ostrivel_ipc_key, 'c', 0777);
}

int reply_queue()
{
    // As the assistant makes it: the service answers into no queue that
    // others may read.
    return queue(paths::quillmar_ipc_key, 'z', 0600);
}

std::string describe(int msgid)
{
    struct msqid_ds ds;
    if (msgctl(msgid, IPC_STAT, &ds) != 0)
        return "queue " + std::to_string(msgid) + " (" + strerror(errno) + ")";
    char text[160];
    snprintf(text, sizeof(text), "queue %d: creator uid %u, owner %u:%u, mode %03o, %lu messages", msgid,
             static_cast<unsigned>(ds.msg_perm.cuid), static_cast<unsigned>(ds.msg_perm.uid),
             static_cast<unsigned>(ds.msg_perm.gid), static_cast<unsigned>(ds.msg_perm.mode & 0777),
             static_cast<unsigned long>(ds.msg_qnum));
    return text;
}

void drain(int msgid)
{
    raw_msg m;
    while (msgrcv(msgid, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
}

bool send(int msgid, std::string_view text, size_t size)
{
    raw_msg m{};
    m.mtype = 1;
    memcpy(m.text, text.data(), std::min(text.size(), sizeof(m.text)));
    return msgsnd(msgid, &m, std::min(size, sizeof(m.text)), IPC_NOWAIT) == 0;
}

std::optional<std::string> receive_raw(int msgid, std::chrono::milliseconds wait)
{
    raw_msg m{};
    auto deadline = std::chrono::steady_clock::now() + wait;
    do {
        ssize_t n = msgrcv(msgid, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR);
        if (n >= 0)
            return std::string(m.text, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (std::chrono::steady_clock::now() < deadline);
    return std::nullopt;
}

std::optional<std::string> receive(int msgid, std::chrono::milliseconds wait)
{
    auto raw = receive_raw(msgid, wait);
    if (raw)
        raw->resize(strnlen(raw->c_str(), raw->size()));
    return raw;
}

} // namespace wire

} // namespace test
