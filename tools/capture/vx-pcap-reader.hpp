// Reads the frames of a pcap or pcapng file, whatever its name says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct pcap;

struct vxFrame {
    std::uint64_t time_us = 0;  // capture time, microseconds since the epoch
    std::uint32_t wire_length = 0;  // length on the wire
    std::size_t captured_length = 0;
    const std::uint8_t *data = nullptr;  // valid until the next Next()
};

class vxPcapReader {
public:
    enum class Status { FRAME, END, TRUNCATED };

    // Throws std::runtime_error naming path when it cannot be opened or
    // read as a capture, or has a link type the decoder does not know.
    explicit vxPcapReader(const std::string &path);
    ~vxPcapReader();
    vxPcapReader(const vxPcapReader &) = delete;
    vxPcapReader &operator=(const vxPcapReader &) = delete;

    int LinkType() const { return link_type; }

    // The next frame. A file cut short mid-frame gives TRUNCATED (see
    // Problem()); any other read error throws std::runtime_error.
    Status Next(vxFrame &frame);

    // Why reading stopped early.
    const std::string &Problem() const { return problem; }

private:
    std::string path;
    pcap *handle = nullptr;
    int link_type = 0;
    std::uint64_t frames = 0;
    std::string problem;
};
