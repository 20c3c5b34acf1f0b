// Packet captures through the program, when it is built with the capture
// input.
#include "vx-e2e-support.hpp"

namespace {

using Capture = vxReplayTest;

#ifdef VX_TEST_CAPTURE

const char *const capture_script = R"(
function ProcessFlowEvent(event, flows)
    local f = flows[1]
    lpp.print(event .. " " .. f.detected_protocol_name .. " " .. f.host_server_name .. " " .. f.stats.total_bytes)
end
function ProcessFlowMap(flows) lpp.print("map " .. #flows) end
function ProcessAgentEvent(event) lpp.print("agent " .. event) end
)";

TEST_F(Capture, ReplaysACaptureTheSameWayEveryTime)
{
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", capture_script)}}.dump());
    const std::string capture = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures/443-curl.pcap";
    if (ReadFileText(capture).empty()) GTEST_SKIP() << capture << " is not there";
    auto first = Run({"--conf", conf, "--capture", capture});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find(" TLS www.ntop.org "), std::string::npos) << first.out;
    for (int i = 0; i < 3; i++) {
        auto again = Run({"--conf", conf, "--capture", capture});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, first.out);
    }
}

TEST_F(Capture, ACaptureThatCannotBeReadIsAUsageError)
{
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", capture_script)}}.dump());
    auto run = Run({"--conf", conf, "--capture", Path("absent.pcap")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("absent.pcap"), std::string::npos) << run.err;
}

#endif

TEST_F(Capture, CaptureAndRecordingExcludeEachOther)
{
    const std::string rec = Write("r.jsonl", "");
    auto run = Run({"--capture", Path("x.pcap"), rec});
    EXPECT_EQ(run.status, 1);
    run = Run({"--idle-timeout", "5", rec});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--idle-timeout: only with --capture"), std::string::npos) << run.err;
}

}  // namespace
