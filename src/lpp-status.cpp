// The plugin's member of the daemon's status document. Runs on a daemon
// thread while the workers run: it reads atomics and values under their
// locks, never a Lua state. With several workers the figures are combined
// by a rule on their names, so that a figure added later combines too.
#include <algorithm>
#include <cmath>

#include "lpp-plugin.hpp"

namespace {

// Every seconds figure of the document, to the microsecond: finer digits are
// clock noise, and a sum of doubles would print its binary tail
// (0.00041222700000000004).
double RoundedSeconds(double seconds) { return std::round(seconds * 1e6) / 1e6; }

json HandlerStatus(const lppHandlerStats &stats)
{
    return json{
        {"calls", stats.calls.load(std::memory_order_relaxed)},
        {"errors", stats.errors.load(std::memory_order_relaxed)},
        {"instruction_limit", stats.instruction_limit.load(std::memory_order_relaxed)},
        {"memory_limit", stats.memory_limit.load(std::memory_order_relaxed)},
        {"time_limit", stats.time_limit.load(std::memory_order_relaxed)},
        {"seconds", RoundedSeconds(stats.seconds.load(std::memory_order_relaxed))},
        {"seconds_max", RoundedSeconds(stats.seconds_max.load(std::memory_order_relaxed))},
        {"running_seconds", RoundedSeconds(stats.running.Seconds())},
    };
}

// A figure that is a peak or a state in progress rather than an amount:
// combined over workers as the largest, every other number as the sum.
bool IsPeak(const std::string &name)
{
    const std::string max = "_max";
    return (name.size() >= max.size() && name.compare(name.size() - max.size(), max.size(), max) == 0) ||
        name.rfind("running_", 0) == 0;
}

// Adds part, one worker's status, into sum, member by member.
void Combine(json &sum, const json &part)
{
    for (auto member = part.begin(); member != part.end(); ++member) {
        auto found = sum.find(member.key());
        if (found == sum.end()) {
            sum[member.key()] = member.value();
        } else if (found->is_object() && member->is_object()) {
            Combine(*found, *member);
        } else if (found->is_number_unsigned() && member->is_number_unsigned()) {
            const auto a = found->get<std::uint64_t>(), b = member->get<std::uint64_t>();
            *found = IsPeak(member.key()) ? std::max(a, b) : a + b;
        } else if (found->is_number() && member->is_number()) {
            const auto a = found->get<double>(), b = member->get<double>();
            *found = IsPeak(member.key()) ? std::max(a, b) : RoundedSeconds(a + b);
        }
    }
}

json WorkerStatus(lppWorker &worker)
{
    json handlers = json::object();
    for (int handler = 0; handler < LPP_HANDLER_ID_COUNT; handler++)
        handlers[lppHandlerNames[handler]] = HandlerStatus(worker.runtime.Stats(static_cast<lppHandlerId>(handler)));
    return json{
        {"queue", worker.queue.Status()},
        {"handlers", std::move(handlers)},
        {"lua", {{"memory", worker.runtime.MemoryUsed()}}},
        {"collect", {{"running_seconds", RoundedSeconds(worker.runtime.Collecting().Seconds())}}},
    };
}

// A member of object as an unsigned number, 0 when absent or of another type.
std::uint64_t Count(const json &object, const char *name)
{
    auto member = object.find(name);
    return (member != object.end() && member->is_number_unsigned()) ? member->get<std::uint64_t>() : 0;
}

}  // namespace

void lppPlugin::GetStatus(json &status)
{
    if (!status_enabled.load(std::memory_order_relaxed)) return;

    json member;
    {
        std::shared_lock<std::shared_mutex> routing(routing_mutex);
        json each = json::array();
        const unsigned count = active.load(std::memory_order_relaxed);
        for (unsigned index = 0; index < count; index++) each.push_back(WorkerStatus(*workers[index]));
        member = each[0];
        for (unsigned index = 1; index < count; index++) Combine(member, each[index]);
        if (workers_configured.load() != 0) member["workers"] = std::move(each);
    }
    {
        std::lock_guard<std::mutex> status_lock(status_mutex);
        member["script"] = status_script;
        member["limits"] = json{
            {"instructions", status_limits.instructions},
            {"memory", status_limits.memory},
            {"queue", status_limits.queue},
            {"seconds", status_limits.seconds},
        };
    }
    status[tag] = std::move(member);
}

void lppPlugin::DisplayStatus(const json &status)
{
    if (!status_enabled.load(std::memory_order_relaxed) || !status.is_object()) return;
    auto member = status.find(tag);
    if (member == status.end() || !member->is_object()) return;

    const json empty = json::object();
    auto part = [&](const char *name) -> const json & {
        auto found = member->find(name);
        return (found != member->end() && found->is_object()) ? *found : empty;
    };
    std::uint64_t calls = 0, errors = 0;
    for (const auto &handler : part("handlers")) {
        if (!handler.is_object()) continue;
        calls += Count(handler, "calls");
        errors += Count(handler, "errors");
    }
    const json &queue = part("queue");
    vd_printf("%s: queue: %llu records (%llu flows, at most %llu), dropped %llu records "
              "(%llu flows); handlers: %llu calls, %llu errors; Lua memory: %llu bytes\n",
        tag.c_str(), static_cast<unsigned long long>(Count(queue, "records")),
        static_cast<unsigned long long>(Count(queue, "flows")),
        static_cast<unsigned long long>(Count(queue, "flows_max")),
        static_cast<unsigned long long>(Count(queue, "dropped_records")),
        static_cast<unsigned long long>(Count(queue, "dropped_flows")),
        static_cast<unsigned long long>(calls), static_cast<unsigned long long>(errors),
        static_cast<unsigned long long>(Count(part("lua"), "memory")));
}
