// Counting the plugin's handler error lines.
#include "vx-handler-errors.hpp"

#include <vessixd-standin.hpp>

// The four handlers a script may define, in the order the summary names them.
const char *const vxHandlerErrors::handlers[handler_count] = {
    "ProcessFlowEvent", "ProcessFlowMap", "ProcessFlowStats", "ProcessAgentEvent"};

void vxHandlerErrors::Install(const std::string &plugin_tag)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        tag = plugin_tag;
    }
    vd_standin_set_debug_observer([this](const std::string &line) { Observe(line); });
}

void vxHandlerErrors::Uninstall() { vd_standin_set_debug_observer(nullptr); }

void vxHandlerErrors::Observe(const std::string &line)
{
    std::lock_guard<std::mutex> guard(mutex);
    const std::string head = tag + ": ";
    if (line.compare(0, head.size(), head) != 0) return;
    for (std::size_t i = 0; i < handler_count; i++) {
        const std::string marker = head + handlers[i] + ": error: ";
        if (line.compare(0, marker.size(), marker) == 0) {
            counts[i]++;
            return;
        }
    }
}

std::size_t vxHandlerErrors::Total() const
{
    std::lock_guard<std::mutex> guard(mutex);
    std::size_t total = 0;
    for (std::size_t count : counts) total += count;
    return total;
}

std::string vxHandlerErrors::Summary(bool debug) const
{
    const std::size_t total = Total();
    if (total == 0) return std::string();
    std::lock_guard<std::mutex> guard(mutex);
    std::string each;
    for (std::size_t i = 0; i < handler_count; i++) {
        if (counts[i] == 0) continue;
        if (!each.empty()) each += ", ";
        each += std::string(handlers[i]) + " " + std::to_string(counts[i]);
    }
    std::string text = std::to_string(total) + " handler error(s) (" + each + ")";
    if (!debug) text += "; run with -d to see them";
    return text;
}
