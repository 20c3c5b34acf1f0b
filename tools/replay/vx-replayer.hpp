// Replays checked recording lines into a running plugin.
#pragma once

#include <vector>

#include <vessixd.hpp>

#include "vx-flow-map.hpp"
#include "vx-recording.hpp"
#include "vx-reload-signal.hpp"
#include "vx-sink-output.hpp"
#include "vx-status-output.hpp"
#include "vx-waits.hpp"

// Exit statuses of vessix-replay.
enum : int {
    VX_EXIT_OK = 0,
    VX_EXIT_USAGE = 1,
    VX_EXIT_PLUGIN = 2,
    VX_EXIT_WORKER_ENDED = 3,
    // Only when nothing else went wrong.
    VX_EXIT_OUTPUT_DIFFERS = 4,
    // With --strict, only when the status would otherwise be VX_EXIT_OK.
    VX_EXIT_HANDLER_FAILED = 5,
};

// Raises the plugin's reload request as a "reload" line does: after the
// queue has drained, then waits until the worker has run Reload (Reloaded).
// Returns false when the worker ended.
bool vxReload(vdPluginProcessor &plugin, vxWaits &waits);

class vxReplayer {
public:
    vxReplayer(vdPluginProcessor &plugin, vxWaits &waits, vxSinkOutput &sinks, vxFlowMap &flows,
        vxStatusOutput &status, vxReloadSignal &reloads)
        : plugin(plugin), waits(waits), sinks(sinks), flows(flows), status(status), reloads(reloads) {}

    // Replays ops in order, and a reload for each SIGHUP before the next
    // line; at the end drains the queue and waits for a
    // reload still requested (vxWaits::Finish). Returns
    // VX_EXIT_OK, VX_EXIT_WORKER_ENDED when the worker's Entry returned, or
    // VX_EXIT_USAGE when a line could not be carried out (a file that
    // cannot be written; the message is on standard error).
    int Run(const std::vector<vxRecordingOp> &ops, const std::string &recording_name);

private:
    // Returns false when the worker ended.
    bool Replay(const vxRecordingOp &op);
    bool ChangeFlow(std::shared_ptr<vdFlow> &flow, const json &set);

    vdPluginProcessor &plugin;
    vxWaits &waits;
    vxSinkOutput &sinks;
    vxFlowMap &flows;
    vxStatusOutput &status;
    vxReloadSignal &reloads;
};
