#include "vx-pcap-reader.hpp"

#include <stdexcept>

#include <pcap/pcap.h>

#include "vx-decode.hpp"

vxPcapReader::vxPcapReader(const std::string &path) : path(path)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    handle = pcap_open_offline(path.c_str(), error);
    if (handle == nullptr) {
        throw std::runtime_error("capture " + path + ": cannot read as pcap or pcapng: " + error);
    }
    link_type = pcap_datalink(handle);
    if (!vxLinkTypeSupported(link_type)) {
        const char *name = pcap_datalink_val_to_name(link_type);
        pcap_close(handle);
        handle = nullptr;
        throw std::runtime_error("capture " + path + ": unsupported link type " + std::to_string(link_type) +
            (name ? std::string(" (") + name + ")" : std::string()) +
            "; supported: Ethernet, Linux cooked, raw IP, BSD loopback");
    }
}

vxPcapReader::~vxPcapReader()
{
    if (handle != nullptr) pcap_close(handle);
}

vxPcapReader::Status vxPcapReader::Next(vxFrame &frame)
{
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int result = pcap_next_ex(handle, &header, &data);
    if (result == PCAP_ERROR_BREAK) return Status::END;
    if (result != 1) {
        std::string message = pcap_geterr(handle);
        // libpcap reports a file that ends inside a record as "truncated";
        // everything before that record is sound.
        if (message.find("truncated") != std::string::npos) {
            problem = "capture " + path + ": " + message + "; stopped after frame " + std::to_string(frames);
            return Status::TRUNCATED;
        }
        throw std::runtime_error(
            "capture " + path + ": cannot read frame " + std::to_string(frames + 1) + ": " + message);
    }
    ++frames;
    // Times before the epoch, or with a bad fraction, are taken as given
    // but never wrap the clock.
    std::int64_t seconds = header->ts.tv_sec < 0 ? 0 : header->ts.tv_sec;
    std::int64_t micros = header->ts.tv_usec < 0 ? 0 : header->ts.tv_usec;
    frame.time_us = std::uint64_t(seconds) * 1000000u + std::uint64_t(micros);
    frame.wire_length = header->len;
    frame.captured_length = header->caplen;
    frame.data = data;
    return Status::FRAME;
}
