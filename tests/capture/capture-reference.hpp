// What tcpdump and nDPI's own reader say of a capture file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ReferenceFlow {
    std::string l4;  // "TCP", "UDP", "ICMP", or the protocol number
    std::string endpoint_a, endpoint_b;  // as printed: "1.2.3.4:80", "[::1]:443"
    std::uint16_t port_a = 0, port_b = 0;
    std::uint16_t vlan = 0;
    std::string protocol;  // "91.126", "5"
    std::string host;  // Hostname/SNI
    std::uint64_t packets = 0;
    std::uint64_t bytes = 0;
};

struct CaptureReference {
    std::uint64_t tcpdump_packets = 0;
    std::uint64_t ip_packets = 0;
    std::uint64_t unique_flows = 0;
    std::vector<ReferenceFlow> flows;
};

// Folder of the shared captures.
std::string CaptureDir();
// Names (without folder) of every capture there, sorted.
std::vector<std::string> CaptureFiles();
// True when tcpdump and ndpiReader can be run.
bool ReferenceToolsPresent();
// Runs tcpdump -r and ndpiReader -t (tunnels dissected) on path, once per file.
const CaptureReference &ReferenceOf(const std::string &path);
