// The packet-capture input: a capture file replayed, or a live interface
// captured, through the plugin.
#pragma once

#include <memory>

#include <vessixd.hpp>

#include "vx-flow-map.hpp"
#include "vx-options.hpp"
#include "vx-record-writer.hpp"
#include "vx-reload-signal.hpp"
#include "vx-waits.hpp"

class vxPcapReader;

class vxCaptureInput {
public:
    // Opens the file or the interface and compiles the filter, before the
    // plugin is loaded, and creates the --record file. Throws vxUsageError
    // with the message to print. A
    // live capture ends on SIGINT or SIGTERM from now on.
    explicit vxCaptureInput(const vxReplayOptions &options);
    ~vxCaptureInput();
    vxCaptureInput(const vxCaptureInput &) = delete;
    vxCaptureInput &operator=(const vxCaptureInput &) = delete;

    // Runs the capture through the plugin, with a reload for each SIGHUP
    // between frames; returns an exit status of vessix-replay.
    int Run(vdPluginProcessor &plugin, vxWaits &waits, vxFlowMap &flows, const vxReplayOptions &options,
        vxReloadSignal &reloads);

private:
    void OpenInput(const vxReplayOptions &options);
    void CatchStopSignals();
    void RestoreSignals();

    std::unique_ptr<vxPcapReader> reader;
    std::unique_ptr<vxRecordWriter> record;  // --record
    std::string name;  // the file or the interface, for messages
    // Live: SIGINT and SIGTERM write to this pipe; the capture waits on it.
    int stop_read = -1, stop_write = -1;
    bool signals_caught = false;
};
