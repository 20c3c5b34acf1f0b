// Thread state from /proc: the state letter and context-switch counts of
// status, and the system call a blocked thread sits in from syscall.
#include <linux/futex.h>
#include <sys/syscall.h>

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "vx-worker-probe.hpp"

vxThreadState vxProbeThread(long tid)
{
    vxThreadState state;
    if (tid <= 0) return state;
    const std::string base = "/proc/self/task/" + std::to_string(tid) + "/";

    std::ifstream status(base + "status");
    if (!status) return state;
    char letter = '?';
    bool have_voluntary = false, have_involuntary = false;
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        fields >> key;
        if (key == "State:") fields >> letter;
        else if (key == "voluntary_ctxt_switches:") have_voluntary = static_cast<bool>(fields >> state.voluntary_switches);
        else if (key == "nonvoluntary_ctxt_switches:") have_involuntary = static_cast<bool>(fields >> state.involuntary_switches);
    }
    if (!have_voluntary || !have_involuntary) return state;

    // "NR ARG1 ARG2 ..." for a blocked thread, "running" otherwise, "-1 ..."
    // when blocked outside a system call.
    std::ifstream syscall_file(base + "syscall");
    std::string nr_text, addr_text, op_text;
    if (!(syscall_file >> nr_text)) return state;
    state.known = true;
    if (letter != 'S' || nr_text == "running") return state;
    if (!(syscall_file >> addr_text >> op_text)) return state;
    try {
        long nr = std::stol(nr_text);
        unsigned long op = std::stoul(op_text, nullptr, 16);
        state.in_condition_wait = nr == SYS_futex &&
            (op & FUTEX_CMD_MASK) == FUTEX_WAIT_BITSET;
    } catch (const std::exception &) {
        state.in_condition_wait = false;
    }
    return state;
}

std::vector<long> vxFindThreads(const std::vector<std::string> &names)
{
    std::vector<long> found;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return found;
    while (const dirent *entry = readdir(tasks)) {
        char *end = nullptr;
        const long tid = std::strtol(entry->d_name, &end, 10);
        if (tid <= 0 || *end != '\0') continue;
        std::ifstream comm("/proc/self/task/" + std::string(entry->d_name) + "/comm");
        std::string name;
        if (std::getline(comm, name) && std::find(names.begin(), names.end(), name) != names.end())
            found.push_back(tid);
    }
    closedir(tasks);
    return found;
}
