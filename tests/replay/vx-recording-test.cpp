// The recording checker: what it accepts, and for what it rejects, that the
// message names the line, the member and what was expected.
#include <sstream>

#include <gtest/gtest.h>

#include "vx-recording.hpp"

namespace {

using Event = vdPluginProcessor::Event;

std::uint16_t Code(Event event) { return static_cast<std::uint16_t>(event); }

std::vector<vxRecordingOp> Read(const std::string &text, const std::string &folder = "/rec")
{
    std::istringstream input(text);
    return vxReadRecording(input, "rec.jsonl", folder);
}

// The message of the error that text raises; empty when it is accepted.
std::string ErrorOf(const std::string &text)
{
    try {
        Read(text);
    } catch (const vxRecordingError &e) {
        return e.what();
    }
    return "";
}

TEST(RecordingChecker, ReadsEveryOpWithItsDefaults)
{
    auto ops = Read(
        "# a comment\n"
        "\n"
        "   # an indented comment\n"
        "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\",\"json\":null}\n"
        "{\"op\":\"update\",\"id\":\"a\",\"set\":{\"vlan_id\":7}}\n"
        "{\"op\":\"purge\",\"id\":\"a\"}\n"
        "{\"op\":\"flow_map\"}\n"
        "{\"op\":\"agent\",\"event\":\"update_init\",\"status\":true}\n"
        "{\"op\":\"interfaces\"}\n"
        "{\"op\":\"iface_stats\"}\n"
        "{\"op\":\"global_stats\",\"event\":77}\n"
        "{\"op\":\"reload\"}\n"
        "{\"op\":\"dispatch_event\",\"event\":5}\n"
        "{\"op\":\"file\",\"path\":\"s.lua\",\"text\":\"x\"}\n"
        "{\"op\":\"file\",\"path\":\"/abs/s.lua\",\"text\":\"\"}\n"
        "{\"op\":\"sink\",\"fail\":\"boom\"}\n"
        "{\"op\":\"sink\",\"fail\":null}\n"
        "{\"op\":\"wait\"}\n"
        "{\"op\":\"sleep\",\"ms\":3}\n");
    ASSERT_EQ(ops.size(), 16u);
    EXPECT_EQ(ops[0].kind, vxOpKind::FLOW);
    EXPECT_EQ(ops[0].line, 4u);
    EXPECT_EQ(ops[0].event, Code(Event::FLOW_NEW));
    EXPECT_TRUE(ops[0].has_json);
    EXPECT_TRUE(ops[0].doc.is_null());
    EXPECT_EQ(ops[1].set["vlan_id"], 7);
    EXPECT_EQ(ops[2].kind, vxOpKind::PURGE);
    EXPECT_EQ(ops[3].event, Code(Event::FLOW_MAP));
    EXPECT_TRUE(ops[4].status);
    EXPECT_EQ(ops[4].event, Code(Event::UPDATE_INIT));
    EXPECT_EQ(ops[5].event, Code(Event::INTERFACES));
    EXPECT_EQ(ops[6].event, Code(Event::PKT_CAPTURE_STATS));
    EXPECT_EQ(ops[7].event, 77);
    EXPECT_EQ(ops[8].kind, vxOpKind::RELOAD);
    EXPECT_EQ(ops[9].event, 5);
    EXPECT_EQ(ops[10].path, "/rec/s.lua");
    EXPECT_EQ(ops[11].path, "/abs/s.lua");
    EXPECT_EQ(ops[12].fail, std::optional<std::string>("boom"));
    EXPECT_FALSE(ops[13].fail.has_value());
    EXPECT_EQ(ops[14].kind, vxOpKind::WAIT);
    EXPECT_EQ(ops[15].ms, 3u);
    EXPECT_EQ(ops[15].line, 19u);
}

TEST(RecordingChecker, KnowsEveryEventName)
{
    const char *names[] = {"flow_map", "new", "expiring", "expired", "intel", "dpi_new",
        "dpi_update", "dpi_complete", "interfaces", "pkt_capture_stats", "pkt_global_stats",
        "update_init", "update_complete"};
    for (int i = 0; i < 13; i++) EXPECT_EQ(vxEventNumber(json(names[i])), i + 1) << names[i];
    EXPECT_EQ(vxEventNumber(json(0)), 0);
    EXPECT_EQ(vxEventNumber(json(65535)), 65535);
    EXPECT_FALSE(vxEventNumber(json(65536)));
    EXPECT_FALSE(vxEventNumber(json(-1)));
    EXPECT_FALSE(vxEventNumber(json(2.5)));
    EXPECT_FALSE(vxEventNumber(json("NEW")));
    EXPECT_FALSE(vxEventNumber(json(true)));
}

TEST(RecordingChecker, NamesLineMemberAndExpectation)
{
    struct Case {
        std::string line;
        std::string message;
    };
    const Case cases[] = {
        {"not json", "rec.jsonl:2: not a JSON value"},
        {"[1,2]", "rec.jsonl:2: expected a JSON object with a member \"op\""},
        {"{\"id\":\"a\"}", "rec.jsonl:2: member \"op\" is missing"},
        {"{\"op\":7}", "rec.jsonl:2: \"op\": expected a string"},
        {"{\"op\":\"flows\"}", "rec.jsonl:2: \"op\": unknown op \"flows\": expected one of flow, update"},
        {"{\"op\":\"wait\",\"ms\":1}", "rec.jsonl:2: \"ms\": not a member of op \"wait\""},
        {"{\"op\":\"flow\",\"id\":\"a\"}", "rec.jsonl:2: \"event\": missing, op \"flow\" requires it"},
        {"{\"op\":\"flow\",\"event\":\"neu\",\"id\":\"a\"}", "rec.jsonl:2: \"event\": expected an event number from 0 to 65535 or an event name"},
        {"{\"op\":\"flow\",\"event\":2,\"id\":3}", "rec.jsonl:2: \"id\": expected a non-empty string"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":[]}", "rec.jsonl:2: \"set\": expected an object"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"colour\":1}}", "rec.jsonl:2: \"set.colour\": expected a member of the flow fields"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"tls\":{\"sni\":\"x\"}}}", "rec.jsonl:2: \"set.tls.sni\": expected a member of tls"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"flags\":{\"detection_init\":1}}}", "rec.jsonl:2: \"set.flags.detection_init\": expected true or false"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"ip_version\":256}}", "rec.jsonl:2: \"set.ip_version\": expected an integer from 0 to 255"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"vlan_id\":65536}}", "rec.jsonl:2: \"set.vlan_id\": expected an integer from 0 to 65535"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"tcp\":{\"last_seq\":4294967296}}}", "rec.jsonl:2: \"set.tcp.last_seq\": expected an integer from 0 to 4294967295"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"first_seen_at\":-1}}", "rec.jsonl:2: \"set.first_seen_at\": expected an integer from 0 to 18446744073709551615"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stats\":{\"lower_packets\":1.5}}}", "rec.jsonl:2: \"set.stats.lower_packets\": expected an integer"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stats\":{\"lower_rate\":\"fast\"}}}", "rec.jsonl:2: \"set.stats.lower_rate\": expected a number"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stats\":{\"lower_rate\":1e300}}}", "rec.jsonl:2: \"set.stats.lower_rate\": expected a number within the range of a 32-bit float"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"digest_lower\":\"xyz\"}}", "rec.jsonl:2: \"set.digest_lower\": expected a 64-bit digest"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"digest_lower\":\"11112222333344445\"}}", "rec.jsonl:2: \"set.digest_lower\": expected a 64-bit digest"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"digest_mdata\":[1,\"g\"]}}", "rec.jsonl:2: \"set.digest_mdata[1]\": expected a 64-bit digest"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_mac\":\"00:11:22:33:44\"}}", "rec.jsonl:2: \"set.lower_mac\": expected a MAC address"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_addr\":\"00:11:22:33:44:55\"}}", "rec.jsonl:2: \"set.lower_addr\": expected an IPv4 or IPv6 address"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"upper_addr\":\"10.0.0.256\"}}", "rec.jsonl:2: \"set.upper_addr\": expected an IPv4 or IPv6 address"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"upper_port\":80}}", "rec.jsonl:2: \"set.upper_port\": expected a flow that has an IP address in \"upper_addr\""},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_addr\":\"::1\",\"lower_port\":65536}}", "rec.jsonl:2: \"set.lower_port\": expected an integer from 0 to 65535"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stun\":{\"mapped\":\"1.2.3.4\"}}}", "rec.jsonl:2: \"set.stun.mapped\": expected an address with its port"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stun\":{\"peer\":\"2001:db8::1:3478\"}}}", "rec.jsonl:2: \"set.stun.peer\": expected an address with its port"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"stun\":{\"peer\":\"[2001:db8::1]:70000\"}}}", "rec.jsonl:2: \"set.stun.peer\": expected an address with its port"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"tls\":{\"fingerprint\":\"abc\"}}}", "rec.jsonl:2: \"set.tls.fingerprint\": expected a string of hex digits, two per byte"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"tls\":{\"alpn\":[\"h2\",2]}}}", "rec.jsonl:2: \"set.tls.alpn[1]\": expected a string"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"risk\":{\"risks\":[1,-2]}}}", "rec.jsonl:2: \"set.risk.risks[1]\": expected an integer from 0 to 4294967295"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"tags\":\"x\"}}", "rec.jsonl:2: \"set.tags\": expected an array of strings"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"gtp\":{\"lower_teid\":-1}}}", "rec.jsonl:2: \"set.gtp.lower_teid\": expected an integer from 0 to 4294967295"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"iface\":{\"role\":300}}}", "rec.jsonl:2: \"set.iface.role\": expected an integer from 0 to 255"},
        {"{\"op\":\"update\",\"id\":\"a\",\"set\":{\"smtp_tls\":\"yes\"}}", "rec.jsonl:2: \"set.smtp_tls\": expected true or false"},
        {"{\"op\":\"purge\",\"id\":\"never\"}", "rec.jsonl:2: \"id\": expected the id of a flow that exists; \"never\" was never created"},
        {"{\"op\":\"agent\",\"event\":12,\"status\":1}", "rec.jsonl:2: \"status\": expected true or false"},
        {"{\"op\":\"file\",\"path\":\"\",\"text\":\"\"}", "rec.jsonl:2: \"path\": expected a non-empty string"},
        {"{\"op\":\"file\",\"path\":\"x\",\"text\":5}", "rec.jsonl:2: \"text\": expected a string"},
        {"{\"op\":\"sink\",\"fail\":false}", "rec.jsonl:2: \"fail\": expected a string"},
        {"{\"op\":\"sleep\",\"ms\":-5}", "rec.jsonl:2: \"ms\": expected an integer number of milliseconds"},
    };
    for (const auto &c : cases) {
        std::string message = ErrorOf("{\"op\":\"wait\"}\n" + c.line + "\n{\"op\":\"wait\"}\n");
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.line << "\n  gave: " << message;
    }
}

TEST(RecordingChecker, ChecksPortsAgainstTheFlowAsItWillBe)
{
    // The address given on an earlier line of the same flow counts; a purge
    // forgets it, as the replay makes a new flow for the id.
    EXPECT_EQ(ErrorOf(
        "{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_addr\":\"10.0.0.1\"}}\n"
        "{\"op\":\"flow\",\"event\":\"new\",\"id\":\"a\",\"set\":{\"lower_port\":80}}\n"), "");
    EXPECT_EQ(ErrorOf(
        "{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_addr\":\"10.0.0.1\"}}\n"
        "{\"op\":\"purge\",\"id\":\"a\"}\n"
        "{\"op\":\"update\",\"id\":\"a\",\"set\":{\"lower_port\":80}}\n")
                  .rfind("rec.jsonl:3: \"set.lower_port\"", 0),
        0u);
    // Members of one line apply addresses first, whatever their order.
    EXPECT_EQ(ErrorOf("{\"op\":\"update\",\"id\":\"b\",\"set\":{\"upper_port\":1,\"upper_addr\":\"::2\"}}\n"), "");
}

TEST(RecordingChecker, StopsAtTheFirstBadLine)
{
    std::string message = ErrorOf("{\"op\":\"wait\"}\n{\"op\":\"nope\"}\n{\"op\":\"bad\"}\n");
    EXPECT_EQ(message.rfind("rec.jsonl:2:", 0), 0u) << message;
}

}  // namespace
