// The events a capture produces follow a daemon's life cycle of a flow, in
// capture time, and the same capture always produces the same calls.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <stdexcept>

#include <vx-pcap-reader.hpp>

#include "capture-test-util.hpp"

namespace {

constexpr int NEW = 2, EXPIRING = 3, EXPIRED = 4, DPI_NEW = 6, DPI_UPDATE = 7, DPI_COMPLETE = 8,
              UPDATE_INIT = 12, UPDATE_COMPLETE = 13;

std::string TestName(const ::testing::TestParamInfo<std::string> &info)
{
    std::string name = info.param.substr(0, info.param.size() - 5);
    for (char &c : name) {
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

class CaptureEventsTest : public ::testing::TestWithParam<std::string> {};

TEST_P(CaptureEventsTest, EveryFlowGoesThroughTheDaemonLifeCycle)
{
    RecordingDriver driver;
    vxCaptureOptions options = QuietOptions();
    options.update_interval = 2;
    options.idle_timeout = 10;
    vxCaptureSummary summary = Replay(GetParam(), driver, options);

    ASSERT_TRUE(driver.faults.empty()) << driver.faults.front();
    EXPECT_FALSE(summary.stopped);
    EXPECT_EQ(driver.FlowsInMap(), 0u) << "every flow is purged by the end";

    // Per flow: the order of its events, and where it was purged.
    std::map<int, std::vector<int>> events_of;
    std::map<int, std::size_t> expired_at, purged_at;
    std::uint64_t event_calls = 0;
    std::size_t last_update_complete = 0;
    for (std::size_t i = 0; i < driver.records.size(); ++i) {
        const RecordingDriver::Record &record = driver.records[i];
        if (record.call == "flow") {
            ++event_calls;
            events_of[record.flow].push_back(record.event);
            if (record.event == EXPIRED) expired_at[record.flow] = i;
        } else if (record.call == "flow_map" || record.call == "agent") {
            ++event_calls;
        }
        if (record.call == "purge") purged_at[record.flow] = i;
        if (record.call == "agent" && record.event == UPDATE_COMPLETE) last_update_complete = i;
        if (record.call == "agent" && record.event == UPDATE_INIT) {
            // An update cycle is always update_init, the map, update_complete.
            ASSERT_LT(i + 2, driver.records.size());
            EXPECT_EQ(driver.records[i + 1].call, "flow_map");
            EXPECT_EQ(driver.records[i + 2].call, "agent");
            EXPECT_EQ(driver.records[i + 2].event, UPDATE_COMPLETE);
        }
        if (record.call == "flow_map") {
            for (int index : record.map) {
                EXPECT_FALSE(expired_at.count(index)) << "expired flow #" << index << " in a snapshot";
            }
        }
    }
    EXPECT_EQ(event_calls, summary.events);
    ASSERT_EQ(events_of.size(), driver.flows.size());

    for (auto &[index, events] : events_of) {
        SCOPED_TRACE("flow #" + std::to_string(index) + " " + Endpoints(*driver.flows[index]));
        ASSERT_GE(events.size(), 5u);
        EXPECT_EQ(events.front(), NEW);
        EXPECT_EQ(events[1], DPI_NEW);
        EXPECT_EQ(events[events.size() - 3], DPI_COMPLETE);
        EXPECT_EQ(events[events.size() - 2], EXPIRING);
        EXPECT_EQ(events.back(), EXPIRED);
        for (std::size_t i = 2; i + 3 < events.size(); ++i) EXPECT_EQ(events[i], DPI_UPDATE);
        vdFlow &flow = *driver.flows[index];
        EXPECT_TRUE(flow.flags.detection_init);
        EXPECT_TRUE(flow.flags.detection_complete);
        EXPECT_TRUE(flow.flags.expired);
        EXPECT_FALSE(flow.digest_mdata.empty());
        ASSERT_TRUE(purged_at.count(index));
        EXPECT_GT(purged_at[index], expired_at[index]);
        // Purged after the next snapshot; flows left at the end after the
        // last one.
        bool update_between = false;
        for (std::size_t i = expired_at[index]; i < purged_at[index]; ++i) {
            update_between = update_between ||
                (driver.records[i].call == "agent" && driver.records[i].event == UPDATE_COMPLETE);
        }
        EXPECT_TRUE(update_between || expired_at[index] > last_update_complete);
    }
}

TEST_P(CaptureEventsTest, TheSameCaptureGivesTheSameCalls)
{
    RecordingDriver first, second;
    Replay(GetParam(), first);
    Replay(GetParam(), second);
    ASSERT_FALSE(first.log.empty());
    EXPECT_EQ(first.log, second.log);
}

INSTANTIATE_TEST_SUITE_P(SharedCaptures, CaptureEventsTest, ::testing::ValuesIn(CaptureFiles()), TestName);

TEST(CaptureCycles, PerCycleCountersRestartAfterEachSnapshot)
{
    RecordingDriver driver;
    vxCaptureOptions options = QuietOptions();
    options.update_interval = 1;
    options.idle_timeout = 3600;
    Replay("android.pcap", driver, options);
    ASSERT_TRUE(driver.faults.empty()) << driver.faults.front();

    std::map<int, std::uint32_t> total_at_last_map;
    std::size_t snapshots = 0, checked = 0;
    for (const RecordingDriver::Record &record : driver.records) {
        if (record.call != "flow_map") continue;
        ++snapshots;
        for (std::size_t i = 0; i < record.map.size(); ++i) {
            auto [cycle_packets, total_packets] = record.packets[i];
            int index = record.map[i];
            std::uint32_t before = total_at_last_map.count(index) ? total_at_last_map[index] : 0;
            EXPECT_EQ(cycle_packets, total_packets - before) << "flow #" << index;
            total_at_last_map[index] = total_packets;
            ++checked;
        }
    }
    // 82 seconds of capture with a 1-second interval.
    EXPECT_GE(snapshots, 10u);
    EXPECT_GT(checked, 63u);
}

TEST(CaptureCycles, IdleFlowsExpireAndTheirKeyStartsANewFlow)
{
    // One SSH connection is silent for 166 seconds.
    RecordingDriver driver;
    vxCaptureSummary summary = Replay("ssh.pcap", driver);
    ASSERT_TRUE(driver.faults.empty()) << driver.faults.front();
    EXPECT_EQ(summary.flows, 3u);

    std::vector<int> same_key;
    for (std::size_t i = 0; i < driver.flows.size(); ++i) {
        if (driver.flows[i]->digest_lower == driver.flows[0]->digest_lower) same_key.push_back(int(i));
    }
    ASSERT_EQ(same_key.size(), 2u);
    vdFlow &earlier = *driver.flows[same_key[0]];
    vdFlow &later = *driver.flows[same_key[1]];
    EXPECT_GE(later.first_seen_at - earlier.last_seen_at, 30000u);

    // The earlier flow expired, in capture time, before the later one began.
    std::size_t expired = 0, added = 0;
    for (std::size_t i = 0; i < driver.records.size(); ++i) {
        const RecordingDriver::Record &record = driver.records[i];
        if (record.call == "flow" && record.event == EXPIRED && record.flow == same_key[0]) expired = i;
        if (record.call == "add" && record.flow == same_key[1]) added = i;
    }
    EXPECT_LT(expired, added);
    EXPECT_EQ(earlier.stats.lower_total_packets + earlier.stats.upper_total_packets +
            later.stats.lower_total_packets + later.stats.upper_total_packets,
        258u);
}

TEST(CaptureCycles, ClosedTcpConnectionsExpireBeforeTheirIdleTimeout)
{
    RecordingDriver driver;
    vxCaptureOptions options = QuietOptions();
    options.update_interval = 1;
    options.idle_timeout = 3600;
    Replay("android.pcap", driver, options);

    std::size_t last_snapshot = 0;
    for (std::size_t i = 0; i < driver.records.size(); ++i) {
        if (driver.records[i].call == "flow_map") last_snapshot = i;
    }
    std::size_t early = 0;
    for (std::size_t i = 0; i < last_snapshot; ++i) {
        const RecordingDriver::Record &record = driver.records[i];
        if (record.call != "flow" || record.event != EXPIRED) continue;
        vdFlow &flow = *driver.flows[record.flow];
        SCOPED_TRACE(Endpoints(flow));
        EXPECT_EQ(flow.ip_protocol, 6);
        EXPECT_TRUE(flow.tcp.fin_acks > 0 || flow.stats.tcp_resets > 0);
        ++early;
    }
    EXPECT_GT(early, 0u);
}

TEST(CaptureDriverStop, ReplayReturnsSoonAfterTheDriverStops)
{
    RecordingDriver driver;
    driver.stop_after_events = 10;
    vxCaptureSummary summary = Replay("android.pcap", driver);
    EXPECT_TRUE(summary.stopped);
    EXPECT_LT(summary.packets, 500u);
    // The packet under way may finish its own events.
    EXPECT_LE(summary.events, 13u);
    EXPECT_GT(driver.FlowsInMap(), 0u) << "a stopped replay leaves the map as it is";
}

// A filter keeps the packets tcpdump keeps with the same expression (its
// counts are in the table), and the flows they make are the unfiltered
// replay's flows, each with the packets the expression matches.
TEST(CaptureFilter, KeepsThePacketsAndFlowsTheExpressionMatches)
{
    auto port = [](vdAddr &addr) { return addr.GetPort(true); };
    struct Case {
        const char *capture;
        const char *filter;
        std::uint64_t tcpdump_packets;
        // The packets of an unfiltered flow that the expression matches.
        std::function<std::uint32_t(vdFlow &)> matching;
    } cases[] = {
        {"android.pcap", "udp port 53", 42,
            [&](vdFlow &f) {
                bool dns = f.ip_protocol == 17 && (port(f.lower_addr) == 53 || port(f.upper_addr) == 53);
                return dns ? f.stats.lower_total_packets + f.stats.upper_total_packets : 0;
            }},
        {"android.pcap", "ip6", 9,
            [](vdFlow &f) { return f.ip_version == 6 ? f.stats.lower_total_packets + f.stats.upper_total_packets : 0; }},
        // Linux cooked frames, one direction of each connection.
        {"quickplay.pcap", "tcp and src port 80", 69,
            [&](vdFlow &f) {
                if (f.ip_protocol != 6) return 0u;
                return (port(f.lower_addr) == 80 ? f.stats.lower_total_packets : 0) +
                    (port(f.upper_addr) == 80 ? f.stats.upper_total_packets : 0);
            }},
    };
    if (CaptureFiles().empty()) GTEST_SKIP() << "the shared captures are not there";
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.capture) + " \"" + c.filter + "\"");
        RecordingDriver all;
        Replay(c.capture, all);
        std::map<std::string, std::uint32_t> expected;
        for (auto &flow : all.flows) {
            if (std::uint32_t packets = c.matching(*flow)) expected[Endpoints(*flow)] += packets;
        }

        RecordingDriver kept;
        vxPcapReader reader(CaptureDir() + "/" + c.capture);
        reader.SetFilter(c.filter);
        vxCaptureSummary summary = vxRunCapture(reader, QuietOptions(), kept);
        ASSERT_TRUE(kept.faults.empty()) << kept.faults.front();
        EXPECT_EQ(summary.packets, c.tcpdump_packets);
        std::map<std::string, std::uint32_t> got;
        for (auto &flow : kept.flows) got[Endpoints(*flow)] += flow->stats.lower_total_packets + flow->stats.upper_total_packets;
        EXPECT_FALSE(got.empty());
        EXPECT_EQ(got, expected);
    }
}

TEST(CaptureFilter, AnExpressionLibpcapCannotCompileThrowsItsMessage)
{
    if (CaptureFiles().empty()) GTEST_SKIP() << "the shared captures are not there";
    vxPcapReader reader(CaptureDir() + "/dns.pcap");
    try {
        reader.SetFilter("udp port");
        FAIL() << "no error";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("syntax error"), std::string::npos) << e.what();
    }
}

}  // namespace
