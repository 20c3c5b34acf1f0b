// The configuration members, one row each: name and reader. A reader is
// given the member's value, or null when the member is absent.
#include <iterator>

#include "lpp-config.hpp"

namespace {

void ReadScript(const json *value, lppConfig &config)
{
    if (value == nullptr || !value->is_string()) throw lppConfigError("script not found or wrong type.");
    config.script = value->get<std::string>();
}

void ReadLimitsMember(const json *value, lppConfig &config)
{
    if (value != nullptr) config.limits = lppReadLimits(*value);
}

void ReadStatus(const json *value, lppConfig &config)
{
    if (value == nullptr) return;
    if (!value->is_boolean()) throw lppConfigError("status: expected true or false");
    config.status = value->get<bool>();
}

void ReadWorkers(const json *value, lppConfig &config)
{
    if (value == nullptr) return;
    // Integers only, as for limits: 2.0 is a float to the parser.
    const bool in_range = (value->is_number_unsigned() || value->is_number_integer()) &&
        value->get<std::int64_t>() >= 1 && value->get<std::int64_t>() <= lppWorkersMax;
    if (!in_range) throw lppConfigError("workers: expected an integer from 1 to 64");
    config.workers = static_cast<unsigned>(value->get<std::int64_t>());
}

struct lppConfigMember {
    const char *name;
    void (*read)(const json *value, lppConfig &config);
};

// In the order they are checked: the first wrong member is the one reported.
const lppConfigMember lppConfigMembers[] = {
    {"script", ReadScript},
    {"limits", ReadLimitsMember},
    {"status", ReadStatus},
    {"workers", ReadWorkers},
};

}  // namespace

lppConfig lppReadConfig(const json &root)
{
    lppConfig config;
    for (const lppConfigMember &member : lppConfigMembers) {
        const json *value = nullptr;
        if (root.is_object()) {
            auto found = root.find(member.name);
            if (found != root.end()) value = &*found;
        }
        member.read(value, config);
    }
    return config;
}
