// Reads the frames of a pcap or pcapng file, whatever its name says, or of
// a live interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
    // IDLE: a live interface has no frame waiting right now.
    enum class Status { FRAME, END, TRUNCATED, IDLE };

    // A capture file. Throws std::runtime_error naming path when it cannot
    // be opened or read as a capture, or has a link type the decoder does
    // not know.
    explicit vxPcapReader(const std::string &path);
    // A live interface, read without blocking. Throws std::runtime_error
    // with libpcap's reason (no such interface, no permission...) when it
    // cannot be captured on.
    static std::unique_ptr<vxPcapReader> OpenInterface(const std::string &iface, bool promiscuous);
    ~vxPcapReader();
    vxPcapReader(const vxPcapReader &) = delete;
    vxPcapReader &operator=(const vxPcapReader &) = delete;

    // Only frames that match expression (tcpdump syntax) are read from now
    // on. Throws std::runtime_error with libpcap's message for an
    // expression it cannot compile.
    void SetFilter(const std::string &expression);

    int LinkType() const { return link_type; }
    bool Live() const { return live; }
    // Live: the descriptor to wait on for frames.
    int SelectableFd() const;

    // The next frame. A file cut short mid-frame gives TRUNCATED (see
    // Problem()); a live interface that fails gives END with Problem() set;
    // any other read error throws std::runtime_error.
    Status Next(vxFrame &frame);

    // Why reading stopped early; activation warnings of an interface.
    const std::string &Problem() const { return problem; }
    // Files: the share of the file read so far, from 0 to 1.
    double ShareRead() const;
    // Live: frames the kernel or the interface dropped.
    std::uint64_t Dropped() const;

private:
    vxPcapReader() = default;
    // Throws std::runtime_error for a link type the decoder does not know.
    void CheckLinkType();

    std::string path;  // the file, or the interface
    pcap *handle = nullptr;
    bool live = false;
    int link_type = 0;
    std::uint64_t frames = 0;
    long file_size = 0;
    std::string problem;
};
