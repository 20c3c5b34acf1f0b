// Running a capture through the recording driver.
#pragma once

#include <string>

#include <vx-capture.hpp>

#include "capture-reference.hpp"
#include "capture-test-driver.hpp"

inline vxCaptureOptions QuietOptions()
{
    vxCaptureOptions options;
    options.progress = false;
    return options;
}

inline vxCaptureSummary Replay(
    const std::string &name, RecordingDriver &driver, vxCaptureOptions options = QuietOptions())
{
    return vxReplayCapture(CaptureDir() + "/" + name, options, driver);
}

// The flow of driver whose endpoints text (see Endpoints) contains both
// texts; null when none does.
inline vdFlow *FindFlow(RecordingDriver &driver, const std::string &a, const std::string &b)
{
    for (auto &flow : driver.flows) {
        std::string endpoints = Endpoints(*flow);
        if (endpoints.find(a) != std::string::npos && endpoints.find(b) != std::string::npos) return flow.get();
    }
    return nullptr;
}
