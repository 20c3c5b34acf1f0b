// Limits: the configuration members "limits" and "status".
#include <stdexcept>
#include <string>

#include "lpp-limits.hpp"

namespace {

std::uint64_t ReadLimit(const json &value, const std::string &name)
{
    // Integers only: 1e6 or 1.5 is a float to the parser, and null, strings
    // and booleans are the wrong type as well.
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    if (value.is_number_integer() && value.get<std::int64_t>() >= 0)
        return static_cast<std::uint64_t>(value.get<std::int64_t>());
    throw std::runtime_error("limits." + name + ": expected a non-negative integer");
}

// A number of seconds: decimals allowed, never negative.
double ReadSeconds(const json &value, const std::string &name)
{
    if (value.is_number() && value.get<double>() >= 0) return value.get<double>();
    throw std::runtime_error("limits." + name + ": expected a non-negative number");
}

}  // namespace

lppConfigExtensions lppReadConfigExtensions(const json &root)
{
    lppConfigExtensions extensions;
    if (!root.is_object()) return extensions;

    auto limits = root.find("limits");
    if (limits != root.end()) {
        if (!limits->is_object()) throw std::runtime_error("limits: expected an object");
        for (auto member = limits->begin(); member != limits->end(); ++member) {
            const std::string &name = member.key();
            if (name == "instructions")
                extensions.limits.instructions = ReadLimit(member.value(), name);
            else if (name == "memory")
                extensions.limits.memory = ReadLimit(member.value(), name);
            else if (name == "queue")
                extensions.limits.queue = ReadLimit(member.value(), name);
            else if (name == "seconds")
                extensions.limits.seconds = ReadSeconds(member.value(), name);
            else
                throw std::runtime_error("limits: unknown member " + name);
        }
    }

    auto status = root.find("status");
    if (status != root.end()) {
        if (!status->is_boolean()) throw std::runtime_error("status: expected true or false");
        extensions.status = status->get<bool>();
    }
    return extensions;
}
