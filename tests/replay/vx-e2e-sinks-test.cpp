// Sink payloads as the program writes them, and sink failures.
#include "vx-e2e-support.hpp"

namespace {

using Sinks = vxReplayTest;

const char *const dispatch_script = R"(
function ProcessAgentEvent(event)
    if event == LPP_EVENT_UPDATE_INIT then
        lpp.dispatch("json", { "b", "a", "b" }, '{"k":1}', LPP_FORMAT_JSON, LPP_COMPRESSOR_NONE)
        lpp.dispatch("packed", {}, "\0\1\255", LPP_FORMAT_MSGPACK, LPP_COMPRESSOR_GZIP)
        lpp.dispatch("text", { n = 7 }, "caf\xc3\xa9\n\0", LPP_FORMAT_RAW, LPP_COMPRESSOR_GZIP)
        lpp.dispatch("", { "" }, "", 0, 0)
    else
        local ok, err = pcall(lpp.dispatch, "failing", { "c" }, "x", 0, 0)
        lpp.print(tostring(ok) .. " " .. tostring(err))
    end
end
)";

TEST_F(Sinks, OneJsonLinePerPayloadWithChannelsFlagsLengthsHexAndText)
{
    auto run = RunScript(dispatch_script, "{\"op\":\"agent\",\"event\":12}\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.sinks,
        "{\"target\":\"json\",\"channels\":[\"a\",\"b\"],\"flags\":1,\"length\":7,"
        "\"payload_hex\":\"7b226b223a317d\",\"payload\":\"{\\\"k\\\":1}\"}\n"
        "{\"target\":\"packed\",\"channels\":[],\"flags\":36,\"length\":3,\"payload_hex\":\"0001ff\"}\n"
        "{\"target\":\"text\",\"channels\":[\"7\"],\"flags\":32,\"length\":7,"
        "\"payload_hex\":\"636166c3a90a00\",\"payload\":\"caf\xc3\xa9\\n\\u0000\"}\n"
        "{\"target\":\"\",\"channels\":[\"\"],\"flags\":0,\"length\":0,\"payload_hex\":\"\",\"payload\":\"\"}\n");
    // Nothing of the payloads on standard output or error.
    EXPECT_EQ(run.err, "");
}

TEST_F(Sinks, StandardOutputOrASummaryOnStandardError)
{
    const std::string script = Write("s.lua", dispatch_script);
    const std::string conf = Write("c.json", json{{"script", script}}.dump());
    const std::string rec = Write("r.jsonl", "{\"op\":\"agent\",\"event\":12}\n");
    auto run = Run({"--conf", conf, "--sinks", "-", rec});
    ASSERT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("\n{\"target\":\"json\",\"channels\":[\"a\",\"b\"],\"flags\":1,"), std::string::npos)
        << run.out;

    run = Run({"--conf", conf, rec});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.err,
        "sink payload: target json, 2 channel(s), 7 byte(s), flags 0x01\n"
        "sink payload: target packed, 0 channel(s), 3 byte(s), flags 0x24\n"
        "sink payload: target text, 1 channel(s), 7 byte(s), flags 0x20\n"
        "sink payload: target , 1 channel(s), 0 byte(s), flags 0x00\n");
}

TEST_F(Sinks, AFailingSinkThrowsIntoTheScriptAndWritesNothing)
{
    auto run = RunScript(dispatch_script,
        "{\"op\":\"sink\",\"fail\":\"sink is down\"}\n"
        "{\"op\":\"agent\",\"event\":13}\n"
        "{\"op\":\"sink\",\"fail\":null}\n"
        "{\"op\":\"agent\",\"event\":13}\n");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: "),
        (std::vector<std::string>{"Vessix Lua Processor Plugin v1.2.5 running the configured Lua script.",
            "false lua: error: dispatch exception: sink is down", "true nil"}));
    EXPECT_EQ(run.sinks,
        "{\"target\":\"failing\",\"channels\":[\"c\"],\"flags\":0,\"length\":1,\"payload_hex\":\"78\",\"payload\":\"x\"}\n");
}

}  // namespace
