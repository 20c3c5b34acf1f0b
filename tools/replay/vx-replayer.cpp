// One recording line after another, with the waits that keep what the
// script sees independent of thread timing.
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "vx-flow-fields.hpp"
#include "vx-replayer.hpp"

using Event = vdPluginProcessor::Event;

bool vxReload(vdPluginProcessor &plugin, vxWaits &waits)
{
    // Drained twice: when the first marker comes back because a reload
    // (one a "dispatch_event" line asked for) discarded it, that reload
    // has yet to clear its flag and could swallow the new request; the
    // second marker is taken only by a pass after it.
    if (!waits.Drain() || !waits.Drain()) return false;
    plugin.DispatchEvent(vdPlugin::Event::RELOAD, nullptr);
    return waits.Reloaded();
}

int vxReplayer::Run(const std::vector<vxRecordingOp> &ops, const std::string &recording_name)
{
    for (const auto &op : ops) {
        // A worker that has ended takes nothing more: stop feeding it.
        if (waits.Ended()) return VX_EXIT_WORKER_ENDED;
        while (reloads.Take())
            if (!vxReload(plugin, waits)) return VX_EXIT_WORKER_ENDED;
        try {
            if (!Replay(op)) return VX_EXIT_WORKER_ENDED;
        } catch (const std::runtime_error &e) {
            std::fprintf(stderr, "vessix-replay: %s:%zu: %s\n", recording_name.c_str(), op.line, e.what());
            return VX_EXIT_USAGE;
        }
    }
    return waits.Finish() ? VX_EXIT_OK : VX_EXIT_WORKER_ENDED;
}

bool vxReplayer::ChangeFlow(std::shared_ptr<vdFlow> &flow, const json &set)
{
    if (!waits.Settle(flow, vxFlowMap::named_owners)) return false;
    std::lock_guard<std::recursive_mutex> guard(flow->lock);
    vxApplyFlowFields(*flow, set);
    return true;
}

bool vxReplayer::Replay(const vxRecordingOp &op)
{
    const auto event = static_cast<Event>(op.event);
    switch (op.kind) {
    case vxOpKind::FLOW: {
        std::shared_ptr<vdFlow> &flow = flows.Get(op.id);
        if (!op.set.is_null() && !ChangeFlow(flow, op.set)) return false;
        if (op.has_json) {
            json doc = op.doc;
            plugin.DispatchProcessorEvent(event, flow, doc);
        } else {
            plugin.DispatchProcessorEvent(event, flow);
        }
        return true;
    }
    case vxOpKind::UPDATE:
        return ChangeFlow(flows.Get(op.id), op.set);
    case vxOpKind::PURGE: {
        std::shared_ptr<vdFlow> *flow = flows.Find(op.id);
        if (flow == nullptr) return true;
        if (!waits.Settle(*flow, vxFlowMap::named_owners)) return false;
        flows.Purge(op.id);
        return true;
    }
    case vxOpKind::FLOW_MAP:
        plugin.DispatchProcessorEvent(event, flows.Map());
        return true;
    case vxOpKind::AGENT:
        if (op.status) {
            vdInstanceStatus status;
            plugin.DispatchProcessorEvent(event, &status);
        } else {
            plugin.DispatchProcessorEvent(event);
        }
        return true;
    case vxOpKind::INTERFACES: {
        auto interfaces = flows.Interfaces();
        plugin.DispatchProcessorEvent(event, &interfaces);
        return true;
    }
    case vxOpKind::IFACE_STATS: {
        vdPacketStats stats;
        plugin.DispatchProcessorEvent(event, "eth0", &stats);
        return true;
    }
    case vxOpKind::GLOBAL_STATS: {
        vdPacketStats stats;
        plugin.DispatchProcessorEvent(event, &stats);
        return true;
    }
    case vxOpKind::RELOAD:
        return vxReload(plugin, waits);
    case vxOpKind::DISPATCH_EVENT: {
        const auto plugin_event = static_cast<vdPlugin::Event>(op.event);
        plugin.DispatchEvent(plugin_event, nullptr);
        // A reload request is waited for as a reload line is, so that the
        // lines after it see the reloaded plugin on every run.
        if (plugin_event == vdPlugin::Event::RELOAD) return waits.Reloaded();
        return true;
    }
    case vxOpKind::FILE: {
        if (!waits.Drain()) return false;
        std::ofstream file(op.path, std::ios::binary | std::ios::trunc);
        file.write(op.text.data(), static_cast<std::streamsize>(op.text.size()));
        file.close();
        if (!file) throw std::runtime_error("cannot write " + op.path);
        return true;
    }
    case vxOpKind::SINK:
        if (!waits.Drain()) return false;
        sinks.SetFail(op.fail);
        return true;
    case vxOpKind::WAIT:
        return waits.Drain();
    case vxOpKind::SLEEP:
        std::this_thread::sleep_for(std::chrono::milliseconds(op.ms));
        return true;
    case vxOpKind::STATUS:
        if (!waits.Drain()) return false;
        status.Write(plugin);
        return true;
    }
    return true;
}
