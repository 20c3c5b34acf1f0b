// What the kernel says about a thread of this process (Linux).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct vxThreadState {
    // The thread's files could be read.
    bool known = false;
    // Asleep ('S') in a futex wait of the FUTEX_WAIT_BITSET kind, which is
    // how a condition variable waits with a deadline; a mutex waits with
    // plain FUTEX_WAIT, and a runnable or running thread is not asleep.
    bool in_condition_wait = false;
    std::uint64_t voluntary_switches = 0;
    std::uint64_t involuntary_switches = 0;
};

// Reads /proc/self/task/TID/status and /proc/self/task/TID/syscall.
vxThreadState vxProbeThread(long tid);

// The ids of this process's threads whose name (/proc/self/task/TID/comm)
// is one of names.
std::vector<long> vxFindThreads(const std::vector<std::string> &names);
