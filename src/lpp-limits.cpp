// Limits: the configuration member "limits".
#include <stdexcept>
#include <string>

#include "lpp-config.hpp"
#include "lpp-limits.hpp"

namespace {

std::uint64_t ReadLimit(const json &value, const std::string &name)
{
    // Integers only: 1e6 or 1.5 is a float to the parser, and null, strings
    // and booleans are the wrong type as well.
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0)
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    throw lppConfigError("limits." + name + ": expected a non-negative integer");
}

// A number of seconds: decimals allowed, never negative.
double ReadSeconds(const json &value, const std::string &name)
{
    if (value.is_number() && value.get<double>() >= 0) return value.get<double>();
    throw lppConfigError("limits." + name + ": expected a non-negative number");
}

}  // namespace

lppLimits lppReadLimits(const json &limits)
{
    lppLimits read;
    if (!limits.is_object()) throw lppConfigError("limits: expected an object");
    for (auto member = limits.begin(); member != limits.end(); ++member) {
        const std::string &name = member.key();
        if (name == "instructions")
            read.instructions = ReadLimit(member.value(), name);
        else if (name == "memory")
            read.memory = ReadLimit(member.value(), name);
        else if (name == "queue")
            read.queue = ReadLimit(member.value(), name);
        else if (name == "seconds")
            read.seconds = ReadSeconds(member.value(), name);
        else
            throw lppConfigError("limits: unknown member " + name);
    }
    return read;
}
