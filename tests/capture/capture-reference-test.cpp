// Flows, packets and detection results agree with what tcpdump and nDPI's
// own reader say of the same captures.
#include <gtest/gtest.h>

#include <algorithm>

#include "capture-test-util.hpp"

namespace {

std::string ProtocolText(const vdFlow &flow)
{
    std::string text = std::to_string(flow.detected_protocol);
    if (flow.detected_application != 0) text.append(".").append(std::to_string(flow.detected_application));
    return text;
}

std::string L4Name(std::uint8_t protocol)
{
    switch (protocol) {
    case 1: return "ICMP";
    case 6: return "TCP";
    case 17: return "UDP";
    case 58: return "ICMPV6";
    default: return std::to_string(protocol);
    }
}

std::string Signature(const std::string &l4, std::uint16_t a, std::uint16_t b, std::uint16_t vlan,
    const std::string &protocol, std::uint64_t packets, std::uint64_t bytes)
{
    return l4 + " ports " + std::to_string(std::min(a, b)) + "-" + std::to_string(std::max(a, b)) + " vlan " +
        std::to_string(vlan) + " proto " + protocol + " packets " + std::to_string(packets) + " bytes " +
        std::to_string(bytes);
}

std::vector<std::string> Sorted(std::vector<std::string> items)
{
    std::sort(items.begin(), items.end());
    return items;
}

bool IsTls(const std::string &protocol)
{
    return protocol.rfind("91", 0) == 0 || protocol.rfind("188", 0) == 0;
}

// nDPI's reader never splits a flow by idleness; two captures have gaps of
// more than the default 30 seconds inside one connection.
vxCaptureOptions LongIdleOptions()
{
    vxCaptureOptions options = QuietOptions();
    options.idle_timeout = 3600;
    return options;
}

class CaptureReferenceTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        if (!ReferenceToolsPresent()) GTEST_SKIP() << "tcpdump or ndpiReader is not installed";
    }
};

TEST_P(CaptureReferenceTest, PacketAndFlowCountsMatchTcpdumpAndNdpiReader)
{
    const CaptureReference &reference = ReferenceOf(CaptureDir() + "/" + GetParam());
    RecordingDriver driver;
    vxCaptureSummary summary = Replay(GetParam(), driver, LongIdleOptions());

    EXPECT_EQ(summary.packets, reference.tcpdump_packets);
    EXPECT_EQ(summary.flow_packets, reference.ip_packets);
    EXPECT_EQ(summary.flows, reference.unique_flows);
    EXPECT_EQ(driver.flows.size(), reference.unique_flows);
    EXPECT_TRUE(summary.warning.empty()) << summary.warning;
    EXPECT_TRUE(driver.faults.empty()) << driver.faults.front();
}

TEST_P(CaptureReferenceTest, EachFlowHasTheProtocolAndCountersNdpiReaderGives)
{
    const CaptureReference &reference = ReferenceOf(CaptureDir() + "/" + GetParam());
    RecordingDriver driver;
    Replay(GetParam(), driver, LongIdleOptions());

    std::vector<std::string> expected, actual;
    for (const ReferenceFlow &flow : reference.flows) {
        expected.push_back(
            Signature(flow.l4, flow.port_a, flow.port_b, flow.vlan, flow.protocol, flow.packets, flow.bytes));
    }
    for (auto &flow : driver.flows) {
        actual.push_back(Signature(L4Name(flow->ip_protocol), flow->lower_addr.GetPort(),
            flow->upper_addr.GetPort(), flow->vlan_id, ProtocolText(*flow),
            flow->stats.lower_total_packets + flow->stats.upper_total_packets,
            flow->stats.lower_total_bytes + flow->stats.upper_total_bytes));
    }
    EXPECT_EQ(Sorted(actual), Sorted(expected));
}

TEST_P(CaptureReferenceTest, TlsFlowsCarryTheSniNdpiReaderFound)
{
    const CaptureReference &reference = ReferenceOf(CaptureDir() + "/" + GetParam());
    RecordingDriver driver;
    Replay(GetParam(), driver, LongIdleOptions());

    std::vector<std::string> expected, actual;
    for (const ReferenceFlow &flow : reference.flows) {
        if (!IsTls(flow.protocol) || flow.host.empty()) continue;
        expected.push_back(std::to_string(std::min(flow.port_a, flow.port_b)) + "-" +
            std::to_string(std::max(flow.port_a, flow.port_b)) + " " + flow.host);
    }
    for (auto &flow : driver.flows) {
        if (!flow->HasTLSClientSNI()) continue;
        std::uint16_t a = flow->lower_addr.GetPort(), b = flow->upper_addr.GetPort();
        actual.push_back(std::to_string(std::min(a, b)) + "-" + std::to_string(std::max(a, b)) + " " +
            flow->host_server_name);
    }
    EXPECT_EQ(Sorted(actual), Sorted(expected));
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, CaptureReferenceTest, ::testing::ValuesIn(CaptureFiles()),
    [](const ::testing::TestParamInfo<std::string> &info) {
        std::string name = info.param.substr(0, info.param.size() - 5);
        for (char &c : name) {
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

}  // namespace
