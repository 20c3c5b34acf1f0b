// The plugin's configuration file: its members, read from one list in one
// place (lpp-config.cpp), each with its own check.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include <vessixd.hpp>

#include "lpp-limits.hpp"

// The most worker threads a configuration may ask for.
inline constexpr unsigned lppWorkersMax = 64;

struct lppConfig {
    // "script": the path as written, before the daemon's variables are
    // expanded.
    std::string script;
    // "limits": 0 means no limit.
    lppLimits limits;
    // "status": whether the status document has the plugin's member.
    bool status = false;
    // "workers": 0 when the member is absent (one worker, and lpp without
    // worker()); otherwise 1 to lppWorkersMax.
    unsigned workers = 0;

    // Worker threads that run the script.
    unsigned WorkerCount() const { return workers == 0 ? 1 : workers; }
};

// What is wrong with a member: the text that follows the configuration's
// path in the reload's error ("workers: expected an integer from 1 to 64").
class lppConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads the members of root in the list's order; throws lppConfigError for
// the first that is wrong. A root that is not an object has no members.
lppConfig lppReadConfig(const json &root);
