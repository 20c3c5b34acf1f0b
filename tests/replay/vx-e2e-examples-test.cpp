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
