// The configuration's opt-in limits on what one call of the script may use
// (Lua VM instructions, bytes held by the Lua state, wall-clock time) and on
// the queue. The binding library enforces the first three (lpp-budget.hpp);
// reading them from the daemon's JSON stays here, on the plugin's side.
#pragma once

#include <cstdint>

#include <vessixd.hpp>

// The configuration's "limits"; 0 means no limit.
struct lppLimits {
    std::uint64_t instructions = 0;
    std::uint64_t memory = 0;
    std::uint64_t queue = 0;
    // Wall-clock seconds of one call of the script.
    double seconds = 0;
};

// The configuration member "limits". Throws lppConfigError with the text
// that follows the configuration's path in the error ("limits.queue:
// expected a non-negative integer", ...).
lppLimits lppReadLimits(const json &limits);
