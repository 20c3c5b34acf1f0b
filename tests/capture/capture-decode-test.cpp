// Every supported link layer and encapsulation leads to the same flow key.
#include <gtest/gtest.h>

#include <lpp-test-support.hpp>

#include "capture-test-util.hpp"

namespace {

using lpptest::TempDir;

const std::string IPV4_UDP =
    // 10.0.0.1:1000 -> 10.0.0.2:53, 4 payload bytes.
    std::string("\x45\x00\x00\x20\x00\x01\x00\x00\x40\x11\x00\x00\x0a\x00\x00\x01\x0a\x00\x00\x02", 20) +
    std::string("\x03\xe8\x00\x35\x00\x0c\x00\x00" "abcd", 12);
const std::string MACS = std::string("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb", 12);

struct Case {
    const char *name;
    std::uint32_t link_type;
    std::string frame;
};

TEST(CaptureLinkLayers, EveryEncapsulationGivesTheInnerFlow)
{
    const Case cases[] = {
        {"ethernet", 1, MACS + std::string("\x08\x00", 2) + IPV4_UDP},
        {"802.1Q and QinQ", 1,
            MACS + std::string("\x88\xa8\x00\x07\x81\x00\x00\x2a\x08\x00", 10) + IPV4_UDP},
        {"PPPoE", 1, MACS + std::string("\x88\x64\x11\x00\x00\x01\x00\x22\x00\x21", 10) + IPV4_UDP},
        {"MPLS", 1, MACS + std::string("\x88\x47\x00\x01\x00\x40\x00\x02\x01\x40", 10) + IPV4_UDP},
        {"Linux cooked", 113, std::string("\x00\x00\x00\x01\x00\x06", 6) + MACS.substr(0, 6) +
                std::string("\x00\x00\x08\x00", 4) + IPV4_UDP},
        {"Linux cooked v2", 276, std::string("\x08\x00\x00\x00\x00\x00\x00\x02\x00\x01\x00\x06", 12) +
                MACS.substr(0, 6) + std::string("\x00\x00", 2) + IPV4_UDP},
        {"BSD loopback", 0, std::string("\x02\x00\x00\x00", 4) + IPV4_UDP},
        {"raw IP", 101, IPV4_UDP},
        {"IPv4", 228, IPV4_UDP},
    };
    TempDir dir;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = PcapHeader(c.link_type);
        AppendFrame(file, 100, 0, c.frame);
        RecordingDriver driver;
        vxCaptureSummary summary = vxReplayCapture(dir.Write("case.pcap", file), QuietOptions(), driver);
        EXPECT_EQ(summary.flow_packets, 1u);
        ASSERT_EQ(driver.flows.size(), 1u);
        vdFlow &flow = *driver.flows[0];
        EXPECT_EQ(Endpoints(flow), "UDP 10.0.0.1:1000 <-> 10.0.0.2:53");
        EXPECT_EQ(flow.origin, vdFlow::ORIGIN_LOWER);
        EXPECT_EQ(flow.vlan_id, std::string(c.name) == "802.1Q and QinQ" ? 42 : 0);
        EXPECT_EQ(flow.stats.lower_total_bytes, c.frame.size());
    }
}

TEST(CaptureLinkLayers, Ipv6ExtensionHeadersAndFragments)
{
    std::string udp = std::string("\x03\xe8\x00\x35\x00\x0c\x00\x00" "abcd", 12);
    auto ipv6 = [](std::uint8_t next, const std::string &body) {
        std::string header = std::string("\x60\x00\x00\x00", 4);
        header.push_back(char(body.size() >> 8));
        header.push_back(char(body.size() & 0xff));
        header.push_back(char(next));
        header.push_back(64);
        header += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x02";
        header += std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01";
        return header + body;
    };
    // Hop-by-hop options (8 bytes), then UDP.
    std::string hop_by_hop = ipv6(0, std::string("\x11\x00\x01\x04\x00\x00\x00\x00", 8) + udp);
    // A later fragment: no transport header, so no ports.
    std::string fragment = ipv6(44, std::string("\x11\x00\x00\x09\x00\x00\x00\x01", 8) + "tail");
    TempDir dir;
    std::string file = PcapHeader(229);
    AppendFrame(file, 100, 0, hop_by_hop);
    AppendFrame(file, 100, 1, fragment);
    RecordingDriver driver;
    vxReplayCapture(dir.Write("v6.pcap", file), QuietOptions(), driver);
    ASSERT_EQ(driver.flows.size(), 2u);
    EXPECT_EQ(Endpoints(*driver.flows[0]), "UDP [2001:db8::1]:53 <-> [2001:db8::2]:1000");
    EXPECT_EQ(driver.flows[0]->origin, vdFlow::ORIGIN_UPPER);
    EXPECT_EQ(Endpoints(*driver.flows[1]), "UDP [2001:db8::1]:0 <-> [2001:db8::2]:0");
}

}  // namespace
