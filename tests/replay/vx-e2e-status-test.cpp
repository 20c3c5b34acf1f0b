// Exit statuses and the command line.
#include <cmath>

#include "vx-e2e-support.hpp"

namespace {

const char *const banner = "lua: Vessix Lua Processor Plugin v1.2.5";

const char *const agent_script = R"(
function ProcessAgentEvent(event) lpp.print("agent " .. event) end
)";

using ExitStatus = vxReplayTest;

TEST_F(ExitStatus, ZeroWhenTheWholeRecordingWasReplayed)
{
    auto run = RunScript(agent_script, "{\"op\":\"agent\",\"event\":12}\n{\"op\":\"agent\",\"event\":13}\n");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind(banner, 0), 0u) << run.out;
    EXPECT_EQ(LinesWith(run.out, "lua: agent "), (std::vector<std::string>{"12", "13"}));
}

TEST_F(ExitStatus, OneForABadLineAndNothingIsReplayed)
{
    auto run = RunScript(agent_script,
        "{\"op\":\"agent\",\"event\":12}\n# fine so far\n{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\","
        "\"set\":{\"tls\":{\"version\":\"771\"}}}\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("recording.jsonl:3: \"set.tls.version\": expected an integer from 0 to 65535"),
        std::string::npos) << run.err;
    // The check comes before the plugin is loaded: not even the banner.
    EXPECT_EQ(run.out, "");
}

TEST_F(ExitStatus, OneForUsageErrors)
{
    const std::string rec = Write("r.jsonl", "");
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"--type", "256", rec},
        {"--type", "-1", rec},
        {"--buckets", "0", rec},
        {"--bogus", rec},
        {"-p", "novalue", rec},
        {"-D", "=x", rec},
        {rec, rec},
        {"--local-net", "10.0.0.0/8", rec},
        {Path("missing.jsonl")},
        // An expected file that cannot be read stops the run before the
        // plugin is loaded (without --conf, loading it would give 2).
        {"--expect", Path("absent.txt"), rec},
        {"--expect", dir.Path(), rec},
    };
    for (const auto &args : usages) {
        auto run = Run(args);
        EXPECT_EQ(run.status, 1) << (args.empty() ? "(no args)" : args[0]);
        EXPECT_EQ(run.err.rfind("vessix-replay: ", 0), 0u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(ExitStatus, TwoWhenThePluginIsNotCreated)
{
    const std::string rec = Write("r.jsonl", "{\"op\":\"wait\"}\n");
    // No conf_filename: vdPluginInit throws and its message is shown.
    auto run = Run({rec});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("lua: conf_filename: Invalid argument\n"), std::string::npos) << run.err;
    // The tool says what is missing, on a line of its own.
    EXPECT_NE(run.err.find("\nvessix-replay: --conf is missing"), std::string::npos) << run.err;

    // A plugin type the plugin does not accept: null.
    run = Run({"--conf", Write("c.json", "{}"), "--type", "3", "--tag", "t3", rec});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.find("--conf is missing"), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("Invalid plugin type: t3 [3]"), std::string::npos) << run.out;

    run = Run({"--conf", Write("c.json", "{}"), "--plugin", Path("nothing.so"), rec});
    EXPECT_EQ(run.status, 2);
}

TEST_F(ExitStatus, ThreeWhenTheWorkerEndsByAnException)
{
    // The script removes its handler; the next flow event throws out of
    // Entry. Nothing after that is fed, and the tool does not hang.
    std::string recording;
    for (int i = 0; i < 200; i++)
        recording += "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"f" + std::to_string(i) + "\"}\n";
    auto run = RunScript(R"(
n = 0
function ProcessFlowEvent(event, flows)
    n = n + 1
    lpp.print("event " .. n)
    if n == 3 then ProcessFlowEvent = nil end
end
)", recording);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(LinesWith(run.out, "lua: event ").size(), 3u) << run.out;
    EXPECT_NE(run.out.find("ProcessFlowEvent function not found."), std::string::npos) << run.out;
}

TEST_F(ExitStatus, TheCallThatEndsTheWorkerIsCounted)
{
    // The failed lookup of the vanished handler is a call, and an error.
    auto run = RunScript(R"(
function ProcessFlowEvent(event, flows) ProcessFlowEvent = nil end
)", "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}\n{\"op\":\"flow\",\"event\":\"new\",\"id\":\"b\"}\n",
        {"--status", Path("status.jsonl")}, {{"status", true}});
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    const auto lines = LinesWith(ReadFileText(Path("status.jsonl")), "");
    ASSERT_EQ(lines.size(), 1u);
    const json counts = json::parse(lines[0])["lua"]["handlers"]["ProcessFlowEvent"];
    EXPECT_EQ(counts["calls"], 2) << counts.dump();
    EXPECT_EQ(counts["errors"], 1) << counts.dump();
}

TEST_F(ExitStatus, ThreeWhenTheFirstReloadFails)
{
    auto run = RunScript("this is not lua", "{\"op\":\"wait\"}\n");
    EXPECT_EQ(run.status, 3) << run.out << run.err;
    // A configuration that is not there fails the first reload too.
    run = Run({"--conf", Path("absent.json"), Write("r.jsonl", "{\"op\":\"wait\"}\n")});
    EXPECT_EQ(run.status, 3) << run.out << run.err;
}

TEST_F(ExitStatus, FailedHandlerCallsAreCountedAndFiveWithStrict)
{
    // Flow events fail for flows named "bad", the second update cycle's
    // agent event fails, the rest succeed.
    const std::string script = R"(
function ProcessFlowEvent(event, flows)
    if flows[1].host_server_name == "bad" then error("no " .. event) end
    lpp.print("flow " .. event)
end
function ProcessAgentEvent(event)
    cycles = (cycles or 0) + 1
    if cycles == 2 then local t = nil; return t.x end
    lpp.print("agent " .. event)
end
)";
    std::string rec;
    for (const char *name : {"bad", "good", "bad"})
        rec += "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"" + std::string(name) +
            "\",\"set\":{\"host_server_name\":\"" + name + "\"}}\n";
    rec += "{\"op\":\"agent\",\"event\":12}\n{\"op\":\"agent\",\"event\":13}\n";
    const std::string summary = "vessix-replay: 3 handler error(s) (ProcessFlowEvent 2, ProcessAgentEvent 1)";

    // Without -d the error lines are not written, and the count says how to
    // see them; the tag the plugin has is the one its lines carry.
    auto quiet = RunScript(script, rec, {"--tag", "probe"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(LinesWith(quiet.err, "vessix-replay: "),
        std::vector<std::string>{summary.substr(15) + "; run with -d to see them"}) << quiet.err;
    EXPECT_EQ(quiet.out.find(": error: "), std::string::npos) << quiet.out;
    EXPECT_EQ(LinesWith(quiet.out, "probe: flow "), std::vector<std::string>{"2"});

    auto debug = RunScript(script, rec, {"-d"});
    EXPECT_EQ(debug.status, 0);
    EXPECT_NE(debug.err.find(summary + "\n"), std::string::npos) << debug.err;
    EXPECT_EQ(debug.err.find("run with -d"), std::string::npos) << debug.err;
    EXPECT_EQ(LinesWith(debug.out, "lua: ProcessFlowEvent: error: ").size(), 2u) << debug.out;

    auto strict = RunScript(script, rec, {"--strict"});
    EXPECT_EQ(strict.status, 5);
    EXPECT_NE(strict.err.find(summary), std::string::npos) << strict.err;

    // An error line that the script prints itself is no failed call; with
    // nothing failing, --strict changes nothing.
    auto clean = RunScript("function ProcessAgentEvent(e) lpp.print('ProcessAgentEvent: error: x') end",
        "{\"op\":\"agent\",\"event\":12}\n", {"--strict"});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.err, "");

    // Every other status comes first.
    auto ended = RunScript(script, rec + "{\"op\":\"file\",\"path\":\"script.lua\",\"text\":\"(\"}\n"
        "{\"op\":\"reload\"}\n", {"--strict"});
    EXPECT_EQ(ended.status, 3);
    EXPECT_NE(ended.err.find(summary), std::string::npos) << ended.err;
}

TEST_F(ExitStatus, FourWhenStandardOutputDiffersFromTheExpectedFile)
{
    // Log lines and sink lines (--sinks -) are compared.
    const std::string script = R"(
function ProcessAgentEvent(event)
    lpp.print("agent " .. event)
    lpp.dispatch("t", { "c" }, "x" .. event, 0, 0)
end
function ProcessFlowEvent(event, flows) ProcessFlowEvent = nil end
)";
    const std::string recording = "{\"op\":\"agent\",\"event\":12}\n{\"op\":\"agent\",\"event\":13}\n";
    auto first = RunScript(script, recording, {"--sinks", "-"});
    ASSERT_EQ(first.status, 0) << first.err;
    const std::vector<std::string> lines = LinesWith(first.out, "");
    ASSERT_EQ(lines.size(), 5u) << first.out;
    ASSERT_NE(lines[4].find("\"payload\":\"x13\""), std::string::npos) << lines[4];

    auto same = RunScript(script, recording, {"--sinks", "-", "--expect", Write("same.txt", first.out)});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.err, "");
    EXPECT_EQ(same.out, first.out);

    // A diff of three lines of context on standard error; standard output
    // is still written.
    std::string other = first.out;
    other.replace(other.rfind("x13"), 3, "x14");
    const std::string expected = Write("other.txt", other);
    auto differs = RunScript(script, recording, {"--sinks", "-", "--expect", expected});
    EXPECT_EQ(differs.status, 4);
    EXPECT_EQ(differs.out, first.out);
    std::string changed = lines[4];
    changed.replace(changed.rfind("x13"), 3, "x14");
    EXPECT_EQ(differs.err, "--- " + expected + "\n+++ (standard output)\n@@ -2,4 +2,4 @@\n " + lines[1] + "\n " +
        lines[2] + "\n " + lines[3] + "\n-" + changed + "\n+" + lines[4] + "\n");

    // Every other status comes first: the worker ending by an exception,
    // and a bad recording line.
    auto ended = RunScript(script, recording + "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\"}\n"
        "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"b\"}\n",
        {"--sinks", "-", "--expect", expected});
    EXPECT_EQ(ended.status, 3);
    EXPECT_NE(ended.err.find("+++ (standard output)\n"), std::string::npos) << ended.err;
    auto bad = RunScript(script, recording + "{\"op\":\"nothing\"}\n", {"--expect", expected});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.out, "");
}

TEST_F(ExitStatus, HelpAndVersion)
{
    auto run = Run({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("--sinks PATH"), std::string::npos);
    for (const char *text : {"--record FILE", "--strict", "SIGHUP", "5 with --strict"})
        EXPECT_NE(run.out.find(text), std::string::npos) << text;
    run = Run({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("vessix-replay ", 0), 0u);
}

TEST_F(ExitStatus, OptionsReachThePlugin)
{
    // Tag, debug mode, variables and paths of the global configuration,
    // and the last of --conf and -p conf_filename wins. The recording comes
    // from standard input.
    const std::string script = Write("vars.lua", R"(
lpp.print(LPP_PATH_CONFIG .. " " .. LPP_PATH_SHARED .. " " .. LPP_PATH_VOLATILE .. " " .. LPP_PATH_PERSISTENT)
lpp.debug("debug on")
function ProcessAgentEvent(event) end
)");
    const std::string good = Write("good.json", "{\"script\": \"${dir}/vars.lua\"}");
    const std::string rec = Write("r.jsonl", "{\"op\":\"wait\"}\n");
    auto run = Run({"--conf", Path("absent.json"), "-p", "conf_filename=" + good, "-D", "dir=" + dir.Path(),
                       "--tag", "mine", "-d", "--path-config", "/c", "--path-shared", "/s",
                       "--path-volatile", "/v", "--path-persistent", "/p", "-"},
        rec);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("mine: /c /s /v /p\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("mine: debug on\n"), std::string::npos) << run.out;

    // Without -d the debug line is dropped.
    run = Run({"--conf", good, "-D", "dir=" + dir.Path(), "-"}, rec);
    EXPECT_EQ(run.status, 0);
    EXPECT_NE(run.out.find("lua: /etc/vessixd /usr/share/vessixd /var/run/vessixd /var/lib/vessixd\n"),
        std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("debug on"), std::string::npos);
}

const char *const counted_script = R"(
function ProcessFlowEvent(event, flows)
    if flows[1].host_server_name == "bad" then error("bad flow") end
    lpp.print("flow " .. event)
end
function ProcessFlowMap(flows) lpp.print("map " .. #flows) end
function ProcessAgentEvent(event) lpp.print("agent " .. event) end
)";

const char *const counted_recording =
    "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\",\"set\":{\"host_server_name\":\"good\","
    "\"flags\":{\"detection_init\":true}}}\n"
    "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"b\",\"set\":{\"host_server_name\":\"bad\","
    "\"flags\":{\"detection_init\":true}}}\n"
    "{\"op\":\"flow_map\"}\n"
    "{\"op\":\"agent\",\"event\":12}\n"
    "{\"op\":\"status\"}\n"
    "{\"op\":\"agent\",\"event\":13}\n";

using StatusDocument = vxReplayTest;

TEST_F(StatusDocument, CountsWhatAKnownRecordingDid)
{
    auto run = RunScript(counted_script, counted_recording, {"--status", Path("status.jsonl")},
        {{"status", true}});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = LinesWith(ReadFileText(Path("status.jsonl")), "");
    ASSERT_EQ(lines.size(), 2u) << run.err;

    const json at_op = json::parse(lines[0])["lua"];
    const json final = json::parse(lines[1])["lua"];
    EXPECT_EQ(final["script"], Path("script.lua"));
    EXPECT_EQ(final["limits"], (json{{"instructions", 0}, {"memory", 0}, {"queue", 0}, {"seconds", 0}}));
    // Nothing runs once the replay has ended, a collection neither.
    EXPECT_EQ(final["collect"], (json{{"running_seconds", 0}}));
    EXPECT_GT(final["lua"]["memory"].get<std::uint64_t>(), 10000u);
    for (const char *member : {"records", "flows", "dropped_records", "dropped_flows", "discarded_records"})
        EXPECT_EQ(final["queue"][member], 0) << member;
    EXPECT_GE(final["queue"]["flows_max"].get<int>(), 1);

    const struct {
        const char *name;
        int calls_at_op, calls, errors;
    } handlers[] = {
        {"ProcessFlowEvent", 2, 2, 1},
        {"ProcessFlowMap", 1, 1, 0},
        {"ProcessFlowStats", 0, 0, 0},
        {"ProcessAgentEvent", 1, 2, 0},
    };
    for (const auto &h : handlers) {
        SCOPED_TRACE(h.name);
        const json &counts = final["handlers"][h.name];
        EXPECT_EQ(at_op["handlers"][h.name]["calls"], h.calls_at_op);
        EXPECT_EQ(counts["calls"], h.calls);
        EXPECT_EQ(counts["errors"], h.errors);
        EXPECT_EQ(counts["instruction_limit"], 0);
        EXPECT_EQ(counts["memory_limit"], 0);
        EXPECT_EQ(counts["time_limit"], 0);
        EXPECT_EQ(counts["running_seconds"], 0);
        const double seconds = counts["seconds"].get<double>();
        const double longest = counts["seconds_max"].get<double>();
        EXPECT_LE(longest, seconds);
        EXPECT_EQ(seconds > 0, h.calls > 0);
        EXPECT_EQ(longest > 0, h.calls > 0);
    }
}

TEST_F(StatusDocument, WhereAndWhenLinesAreWritten)
{
    // Without --status the op writes to standard error; without the
    // configuration's "status" the document stays empty.
    auto run = RunScript(counted_script, counted_recording);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LinesWith(run.err, "{"), std::vector<std::string>{"}"});

    // A run that ends with status 3 still writes the final line.
    const std::string file = Write("status.jsonl", "stale\n");
    run = RunScript("function ProcessAgentEvent() end\nerror_now = true\n",
        "{\"op\":\"file\",\"path\":\"script.lua\",\"text\":\"syntax error here\"}\n{\"op\":\"reload\"}\n",
        {"--status", file}, {{"status", true}});
    EXPECT_EQ(run.status, 3) << run.err;
    const auto lines = LinesWith(ReadFileText(file), "");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0])["lua"]["handlers"]["ProcessAgentEvent"]["calls"], 0);

    // "-" is standard error, and nothing of the document reaches standard
    // output.
    run = RunScript(counted_script, counted_recording, {"--status", "-"}, {{"status", true}});
    ASSERT_EQ(run.status, 0) << run.err;
    // The recording's "status" line and the final document.
    const auto documents = LinesWith(run.err, "{\"lua\":");
    ASSERT_EQ(documents.size(), 2u) << run.err;
    EXPECT_EQ(run.out.find("\"handlers\""), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('{'), std::string::npos) << run.out;

    // A bad recording line replays nothing and writes no status.
    run = RunScript(counted_script, "{\"op\":\"status\",\"extra\":1}\n", {"--status", "-"},
        {{"status", true}});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(LinesWith(run.err, "{").empty()) << run.err;
}

TEST_F(StatusDocument, LimitsThatAreNotReachedChangeNoOutput)
{
    auto plain = RunScript(counted_script, counted_recording, {"--status", Path("plain.jsonl")});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_EQ(ReadFileText(Path("plain.jsonl")), "{}\n{}\n");
    auto limited = RunScript(counted_script, counted_recording, {"--status", Path("limited.jsonl")},
        {{"limits", {{"instructions", 100000000}, {"memory", 1 << 30}, {"queue", 100000}, {"seconds", 60}}},
            {"status", false}});
    ASSERT_EQ(limited.status, 0) << limited.err;
    // "status": false leaves the document empty as its absence does.
    EXPECT_EQ(ReadFileText(Path("limited.jsonl")), "{}\n{}\n");
    EXPECT_EQ(limited.out, plain.out);
    EXPECT_EQ(limited.sinks, plain.sinks);
}

TEST_F(StatusDocument, LuaMemoryIsWhatTheCollectorCounts)
{
    // The array part of a growing table is reallocated again and again: the
    // count follows each block's new size, not the sum of its sizes.
    auto run = RunScript(R"(
function ProcessAgentEvent(event)
    local grown = {}
    for i = 1, 200000 do grown[i] = i end
    grown = nil
    collectgarbage("collect")
    lpp.print("count " .. math.floor(collectgarbage("count") * 1024))
end
)", "{\"op\":\"agent\",\"event\":12}\n{\"op\":\"status\"}\n", {"--status", Path("status.jsonl")},
        {{"status", true}});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto counted = LinesWith(run.out, "lua: count ");
    ASSERT_EQ(counted.size(), 1u) << run.out;
    const auto lines = LinesWith(ReadFileText(Path("status.jsonl")), "");
    ASSERT_EQ(lines.size(), 2u);
    const double collector = std::stod(counted[0]);
    const double memory = json::parse(lines[0])["lua"]["lua"]["memory"].get<double>();
    EXPECT_NEAR(memory, collector, collector * 0.1);
}

TEST_F(StatusDocument, LimitsAddedByAReloadCutTheUnchangedScript)
{
    // The script is not rebuilt, so its state must take the new instruction
    // limit as it is.
    const std::string script = R"(
function ProcessAgentEvent(event)
    if event == 13 then
        for i = 1, 30000000 do end
        lpp.print("loop ran to its end")
    end
    lpp.print("agent " .. event)
end
)";
    const json limited = {{"script", Path("script.lua")}, {"limits", {{"instructions", 1000000}}}, {"status", true}};
    const std::string recording = "{\"op\":\"agent\",\"event\":12}\n" +
        json{{"op", "file"}, {"path", "conf.json"}, {"text", limited.dump()}}.dump() +
        "\n{\"op\":\"reload\"}\n{\"op\":\"status\"}\n{\"op\":\"agent\",\"event\":13}\n{\"op\":\"agent\",\"event\":12}\n";
    auto run = RunScript(script, recording, {"-d", "--status", Path("status.jsonl")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("not reloading, no change."), std::string::npos) << run.out;
    // The limit is in force before the loop runs.
    const auto lines = LinesWith(ReadFileText(Path("status.jsonl")), "");
    ASSERT_EQ(lines.size(), 2u);
    ASSERT_EQ(json::parse(lines[0])["lua"]["limits"]["instructions"], 1000000);
    EXPECT_EQ(LinesWith(run.out, "lua: agent "), (std::vector<std::string>{"12", "12"})) << run.out;
    EXPECT_TRUE(LinesWith(run.out, "lua: loop ran").empty()) << run.out;
    const auto errors = LinesWith(run.out, "lua: ProcessAgentEvent: error: ");
    ASSERT_EQ(errors.size(), 1u) << run.out;
    EXPECT_NE(errors[0].find("instruction limit exceeded"), std::string::npos) << errors[0];
}

TEST_F(StatusDocument, TwoRunsWithReloadsGiveTheSameDocument)
{
    // The tool's waits queue markers in numbers that depend on timing (a
    // reload discards some): they count nowhere. Only the queue's high-water
    // mark and the times differ between runs; the times are microseconds.
    auto script_text = [](const std::string &version) {
        return "function ProcessAgentEvent(event) lpp.print('" + version + " agent ' .. event) end\n"
               "function ProcessFlowEvent(event, flows) lpp.print('" + version + " flow ' .. event) end\n";
    };
    std::string recording;
    for (const char *version : {"v2", "v3", "v4"}) {
        recording += "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"" + std::string(version) + "\"}\n"
                     "{\"op\":\"agent\",\"event\":12}\n" +
            json{{"op", "file"}, {"path", "script.lua"}, {"text", script_text(version)}}.dump() +
            "\n{\"op\":\"reload\"}\n{\"op\":\"agent\",\"event\":13}\n";
    }
    std::vector<json> documents;
    for (int round = 0; round < 2; round++) {
        auto run = RunScript(script_text("v1"), recording, {"--status", Path("status.jsonl")}, {{"status", true}});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(LinesWith(run.out, "lua: v4 agent "), std::vector<std::string>{"13"}) << run.out;
        json document = json::parse(ReadFileText(Path("status.jsonl")))["lua"];
        for (const char *member : {"records", "flows", "dropped_records", "dropped_flows", "discarded_records"})
            EXPECT_EQ(document["queue"][member], 0) << member;
        document["queue"].erase("flows_max");
        for (auto &[name, handler] : document["handlers"].items()) {
            for (const char *member : {"seconds", "seconds_max"}) {
                const double seconds = handler[member].get<double>();
                // Whole microseconds, which print without a binary tail.
                EXPECT_EQ(seconds, std::round(seconds * 1e6) / 1e6) << name << " " << member;
                handler.erase(member);
            }
        }
        documents.push_back(document);
    }
    EXPECT_EQ(documents[0], documents[1]);
}

}  // namespace
