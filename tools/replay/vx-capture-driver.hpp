// The packet-capture input: a capture replayed through the plugin.
#pragma once

#include <vessixd.hpp>

#include "vx-flow-map.hpp"
#include "vx-options.hpp"
#include "vx-waits.hpp"

// Replays options.capture_path; returns an exit status of vessix-replay.
int vxRunCapture(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows,
    const vxReplayOptions &options);
