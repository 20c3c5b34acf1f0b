// Running a capture through the recording driver.
#pragma once

#include <cstdint>
#include <string>

#include <vx-capture.hpp>

#include "capture-reference.hpp"
#include "capture-test-driver.hpp"

// A classic pcap file in the writer's byte order.
inline void PutHost32(std::string &out, std::uint32_t value)
{
    out.append(reinterpret_cast<const char *>(&value), 4);  // the writer's byte order
}

inline void PutHost16(std::string &out, std::uint16_t value) { out.append(reinterpret_cast<const char *>(&value), 2); }

inline std::string PcapHeader(std::uint32_t link_type)
{
    std::string out;
    PutHost32(out, 0xa1b2c3d4);
    PutHost16(out, 2);
    PutHost16(out, 4);
    PutHost32(out, 0);
    PutHost32(out, 0);
    PutHost32(out, 65535);
    PutHost32(out, link_type);
    return out;
}

inline void AppendFrame(std::string &out, std::uint32_t seconds, std::uint32_t micros, const std::string &frame)
{
    PutHost32(out, seconds);
    PutHost32(out, micros);
    PutHost32(out, std::uint32_t(frame.size()));
    PutHost32(out, std::uint32_t(frame.size()));
    out += frame;
}

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
