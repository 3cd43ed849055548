// Acting on one process of the explorer's list as the user who runs the
// assistant: signals and priorities. A pidfd holds the process itself, not
// its number, so an action reaches the process that was named, or none, even
// when the number has meanwhile gone to another process.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "unique_fd.h"

// The system calls behind the actions; -1 and errno on failure.
struct proc_act_operate {
    int (*pidfd_open)(pid_t pid);
    int (*pidfd_send_signal)(int pidfd, int signo);
    int (*setpriority)(pid_t pid, int nice);
};

const proc_act_operate *proc_act_get();
// For tests: proc_act_get hands out table from now on, or the module's own
// again after nullptr. Returns the table it replaced. The assistant itself
// never calls it.
const proc_act_operate *proc_act_set(const proc_act_operate *table);

enum class proc_outcome : uint8_t {
    done,
    gone,       // the process has ended
    replaced,   // its number now belongs to another program
    not_owner,  // it belongs to another user
    needs_root, // a higher priority than it has needs privileges
    failed,     // refused for another reason, errno in `error`
};

// The process a pidfd holds, as it was when last read.
struct proc_target {
    pid_t pid = -1;
    unique_fd pidfd;
    std::string name; // its comm
    uid_t uid = 0;    // real
    char state = 0;
    int nice = 0;
    int error = 0;
};

// Takes hold of the process the list shows as pid, with the name shown, and
// reads it as it is now: gone, replaced when another program has the number,
// otherwise done.
proc_outcome proc_target_open(pid_t pid, std::string_view shown, proc_target &t);
// signo to the process held, and nothing to any other.
proc_outcome proc_target_signal(proc_target &t, int signo);
proc_outcome proc_target_renice(proc_target &t, int nice);
// Whether a list read now shows what signo did (0: a new priority): the
// process stopped, running again, or ended and reaped by its parent.
bool proc_target_settled(proc_target &t, int signo);
