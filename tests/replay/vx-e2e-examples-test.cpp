// The examples run as the README shows them, and what they log.
#include "vx-e2e-support.hpp"

namespace {

using Examples = vxReplayTest;

vxReplayRun RunExample(vxReplayTest &test, const std::string &name, std::vector<std::string> extra = {})
{
    // The configuration names its script relative to the top folder.
    const std::string top = LPP_TEST_SOURCE_DIR;
    std::vector<std::string> args = {"--conf", top + "/examples/vessix-lua.json", "-D", "example=" + name};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(top + "/examples/" + name + ".jsonl");
    (void)test;
    return vxReplayTest::RunIn(top, args);
}

TEST_F(Examples, AppBytesSumsEachCycleAndDispatchesASummary)
{
    auto run = RunExample(*this, "app-bytes", {"--sinks", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto summaries = LinesWith(run.out, "{\"target\":\"app-bytes\",\"channels\":[\"stats\"],\"flags\":1,");
    ASSERT_EQ(summaries.size(), 2u) << run.out;
    EXPECT_NE(summaries[0].find("\"payload\":\"{\\\"flows\\\":4,"), std::string::npos) << summaries[0];
    EXPECT_NE(summaries[1].find("\\\"YouTube\\\":{\\\"flows\\\":1,\\\"bytes\\\":417400}"), std::string::npos)
        << summaries[1];
    EXPECT_EQ(LinesWith(run.out, "lua: DNS ").size(), 1u) << "DNS expired before the second cycle";
    // A flow that begins and expires within the cycle is in no flow map.
    EXPECT_NE(summaries[1].find("\\\"NTP\\\":{\\\"flows\\\":1,\\\"bytes\\\":180}"), std::string::npos)
        << summaries[1];
}

TEST_F(Examples, FlowExportSendsTheExpiredFlowsOfEachCycleAsOneArray)
{
    auto run = RunExample(*this, "flow-export", {"--sinks", "-"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string prefix = "{\"target\":\"flow-export\",\"channels\":[\"flows\"],\"flags\":33,";
    auto lines = LinesWith(run.out, prefix);
    ASSERT_EQ(lines.size(), 2u) << "one payload per cycle in which flows expired\n" << run.out;

    // Keys in a fixed order, whatever order Lua walks a table in.
    const std::vector<std::string> keys = {"local_ip", "local_port", "other_ip", "other_port", "ip_protocol",
        "protocol", "application", "server_name", "local_bytes", "other_bytes", "local_packets",
        "other_packets", "first_seen_at", "last_seen_at"};
    std::vector<nlohmann::ordered_json> records;
    for (const auto &line : lines) {
        auto payload = nlohmann::ordered_json::parse(json::parse(prefix + line).at("payload").get<std::string>());
        ASSERT_TRUE(payload.is_array()) << line;
        for (auto &record : payload) {
            std::vector<std::string> names;
            for (auto &member : record.items()) names.push_back(member.key());
            EXPECT_EQ(names, keys) << record.dump();
            records.push_back(record);
        }
    }
    ASSERT_EQ(records.size(), 3u) << run.out;
    EXPECT_EQ(records[0].dump(),
        R"({"local_ip":"192.168.1.20","local_port":53011,"other_ip":"192.168.1.1","other_port":53,"ip_protocol":17,)"
        R"("protocol":"DNS","application":"Unknown","server_name":"bücher.example","local_bytes":62,"other_bytes":140,)"
        R"("local_packets":1,"other_packets":1,"first_seen_at":1700000001000,"last_seen_at":1700000001020})");
    EXPECT_EQ(records[1]["application"], "YouTube");
    EXPECT_EQ(records[1]["server_name"], "rr3.googlevideo.com");
    EXPECT_EQ(records[1]["other_bytes"], 412000);
    EXPECT_EQ(records[1]["last_seen_at"], 1700000031500);
    EXPECT_EQ(records[2]["local_ip"], "2001:db8:1::20");
    EXPECT_EQ(records[2]["other_port"], 80);
    EXPECT_EQ(records[2]["local_packets"], 5);
}

TEST_F(Examples, TlsSniLogsEachConnectionOnce)
{
    auto run = RunExample(*this, "tls-sni", {"-d"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto lines = LinesWith(run.out, "lua: ");
    std::vector<std::string> logged;
    for (const auto &line : lines)
        if (line.find(" -> ") != std::string::npos) logged.push_back(line.substr(0, line.find(" sni=")));
    EXPECT_EQ(logged, (std::vector<std::string>{"192.168.1.10:51514 -> 93.184.216.34:443 TLS",
                          "[2001:db8::10]:60000 -> [2a00:1450:4001:82b::200e]:443 QUIC",
                          "192.168.1.11:41000 -> 104.16.123.96:443 TLS"}));
    EXPECT_NE(run.out.find("lua:   certificate: www.example.org"), std::string::npos);
}

TEST_F(Examples, RiskAlertPrintsAndDispatchesRiskyFlows)
{
    auto run = RunExample(*this, "risk-alert", {"--sinks", "-"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: risk score ").size(), 2u) << run.out;
    EXPECT_EQ(LinesWith(run.out, "{\"target\":\"alerts\",\"channels\":[\"security\"],\"flags\":1,").size(), 2u);
}

}  // namespace
