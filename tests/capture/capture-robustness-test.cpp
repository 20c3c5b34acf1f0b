// Damaged, truncated and hostile capture files end in a clear error or a
// clean end, never a crash.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>

#include <lpp-test-support.hpp>

#include "capture-test-util.hpp"

namespace {

using lpptest::TempDir;

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Capture(const std::string &name) { return ReadFile(CaptureDir() + "/" + name); }

// Runs path and checks the outcome is one of the two sound ones: an
// exception with a message, or a replay that ended every flow.
void ExpectCleanOutcome(const std::string &path, const std::string &what)
{
    RecordingDriver driver;
    try {
        vxCaptureSummary summary = vxReplayCapture(path, QuietOptions(), driver);
        EXPECT_EQ(driver.FlowsInMap(), 0u) << what;
        EXPECT_EQ(summary.flows, driver.flows.size()) << what;
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find("capture"), std::string::npos) << what << ": " << e.what();
    }
    EXPECT_TRUE(driver.faults.empty()) << what << ": " << driver.faults.front();
}

TEST(CaptureFiles, UnreadableFilesThrowAClearError)
{
    TempDir dir;
    std::mt19937 random(7);
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(char(random()));
    struct Case {
        std::string path;
        std::string message;
    } cases[] = {
        {dir.Path() + "/missing.pcap", "missing.pcap"},
        {dir.Write("empty.pcap", ""), "empty.pcap"},
        {dir.Write("text.pcap", "this is not a capture\n"), "text.pcap"},
        {dir.Write("garbage.pcapng", garbage), "garbage.pcapng"},
        {dir.Write("wifi.pcap", PcapHeader(105)), "unsupported link type 105"},
    };
    for (const Case &c : cases) {
        RecordingDriver driver;
        try {
            vxReplayCapture(c.path, QuietOptions(), driver);
            ADD_FAILURE() << c.path << " was accepted";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_TRUE(driver.records.empty()) << c.path;
    }
}

TEST(CaptureFiles, TruncatedCapturesEndCleanlyAtTheLastWholePacket)
{
    TempDir dir;
    for (auto [name, length] : {std::pair<std::string, std::size_t>{"443-curl.pcap", 40000},
             {"stun.pcap", 20000}}) {
        std::string path = dir.Write("cut-" + name, Capture(name).substr(0, length));
        RecordingDriver driver;
        vxCaptureSummary summary = vxReplayCapture(path, QuietOptions(), driver);
        EXPECT_NE(summary.warning.find("truncated"), std::string::npos) << summary.warning;
        EXPECT_GT(summary.packets, 0u);
        EXPECT_EQ(summary.packets, ReferenceToolsPresent() ? ReferenceOf(path).tcpdump_packets : summary.packets);
        EXPECT_EQ(driver.FlowsInMap(), 0u);
        EXPECT_EQ(driver.FlowsWithEvent(4).size(), driver.flows.size()) << "every flow expires";
        EXPECT_TRUE(driver.faults.empty()) << driver.faults.front();
    }
}

TEST(CaptureFiles, AHeaderWithoutPacketsGivesNoEvents)
{
    TempDir dir;
    RecordingDriver driver;
    vxCaptureSummary summary =
        vxReplayCapture(dir.Write("header.pcap", Capture("smtp.pcap").substr(0, 24)), QuietOptions(), driver);
    EXPECT_EQ(summary.packets, 0u);
    EXPECT_EQ(summary.events, 0u);
    EXPECT_TRUE(driver.records.empty());
}

TEST(CaptureFiles, BadOptionsThrowAClearError)
{
    RecordingDriver driver;
    vxCaptureOptions options = QuietOptions();
    options.local_nets = {"192.168.300.0/24"};
    EXPECT_THROW(Replay("dns.pcap", driver, options), std::runtime_error);
    options.local_nets = {"10.0.0.0/33"};
    EXPECT_THROW(Replay("dns.pcap", driver, options), std::runtime_error);
    options.local_nets = {"fd00::/8", "10.0.0.1"};
    EXPECT_NO_THROW(Replay("dns.pcap", driver, options));
    options.update_interval = 0;
    EXPECT_THROW(Replay("dns.pcap", driver, options), std::runtime_error);
}

TEST(CaptureFuzz, CorruptedCapturesNeverCrash)
{
    TempDir dir;
    std::mt19937 random(20261208);
    const std::vector<std::string> names = {"443-curl.pcap", "dns.pcap", "ipv6_in_gtp.pcap",
        "http_origin_different_than_host.pcap", "quickplay.pcap", "stun.pcap", "quic_0RTT.pcap"};
    for (int round = 0; round < 84; ++round) {
        const std::string &name = names[round % names.size()];
        std::string bytes = Capture(name);
        // Leave the file header mostly alone so that packets get read.
        int flips = 1 + int(random() % 64);
        for (int i = 0; i < flips; ++i) {
            std::size_t at = 24 + random() % (bytes.size() - 24);
            bytes[at] = char(random());
        }
        if (random() % 4 == 0) bytes.resize(24 + random() % (bytes.size() - 24));
        std::string path = dir.Write("fuzz.pcap", bytes);
        ExpectCleanOutcome(path, name + " round " + std::to_string(round));
    }
}

// Frames built layer by layer from random choices: tags, PPPoE, IPv4 or
// IPv6, GTP-U, transport headers, with random lengths and damage.
class FrameBuilder {
public:
    explicit FrameBuilder(std::uint32_t seed) : random(seed) {}

    std::string Frame(std::uint32_t link_type)
    {
        std::string frame;
        std::string ip = Ip(Chance(4));
        if (link_type == 1) {
            frame += Bytes(12);
            int tags = int(random() % 4);
            for (int i = 0; i < tags; ++i) {
                frame += Chance(2) ? std::string("\x81\x00", 2) : std::string("\x88\xa8", 2);
                frame += Bytes(2);
            }
            if (Chance(5)) {
                frame += std::string("\x88\x64\x11\x00", 4) + Bytes(2);
                Put16Be(frame, std::uint16_t(ip.size() + 2));
                frame += ip[0] >> 4 == 6 ? std::string("\x00\x57", 2) : std::string("\x00\x21", 2);
            } else {
                frame += (ip[0] >> 4) == 6 ? std::string("\x86\xdd", 2) : std::string("\x08\x00", 2);
            }
        } else if (link_type == 113) {
            frame += std::string("\x00\x00\x00\x01\x00", 5) + char(random() % 9) + Bytes(8);
            frame += (ip[0] >> 4) == 6 ? std::string("\x86\xdd", 2) : std::string("\x08\x00", 2);
        }
        frame += ip;
        Damage(frame);
        return frame;
    }

private:
    bool Chance(unsigned one_in) { return random() % one_in == 0; }

    std::string Bytes(std::size_t n)
    {
        std::string out;
        for (std::size_t i = 0; i < n; ++i) out.push_back(char(random()));
        return out;
    }

    static void Put16Be(std::string &out, std::uint16_t value)
    {
        out.push_back(char(value >> 8));
        out.push_back(char(value & 0xff));
    }

    // A small pool of addresses and ports, so packets share flows.
    std::string Address(bool v6)
    {
        std::string addr = v6 ? std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') : "\x0a\x00\x00";
        addr.push_back(char(1 + random() % 4));
        return addr;
    }

    std::string Transport(std::uint8_t protocol, bool allow_gtp)
    {
        std::string out;
        std::uint16_t sport = std::uint16_t(1000 + random() % 3), dport = std::uint16_t(80 + random() % 3);
        if (protocol == 17 && allow_gtp && Chance(3)) sport = dport = 2152;
        if (protocol == 6) {
            Put16Be(out, sport);
            Put16Be(out, dport);
            out += Bytes(8);
            out.push_back(char((5 + random() % 11) << 4));
            out.push_back(char(random()));
            out += Bytes(6);
            out += Payload();
        } else if (protocol == 17) {
            Put16Be(out, sport);
            Put16Be(out, dport);
            std::string payload;
            if (sport == 2152) {
                std::string inner = Ip(false, false);
                payload = std::string(1, char(Chance(2) ? 0x30 : 0x30 | (random() % 8))) + "\xff";
                Put16Be(payload, std::uint16_t(inner.size()));
                payload += Bytes(4);
                if (payload[0] & 0x07) payload += Bytes(3) + std::string(1, Chance(2) ? '\0' : char(random()));
                payload += inner;
            } else {
                payload = Payload();
            }
            Put16Be(out, std::uint16_t(8 + payload.size()));
            out += Bytes(2) + payload;
        } else {
            out = Payload();
        }
        return out;
    }

    std::string Payload()
    {
        static const char *const starts[] = {"GET / HTTP/1.1\r\nHost: a\r\nUser-Agent: x\r\n\r\n", "\x16\x03\x01",
            "SSH-2.0-x\r\n", "M-SEARCH * HTTP/1.1\r\n", "\x00\x01\x00\x00\x21\x12\xa4\x42", ""};
        std::string out = starts[random() % 6];
        return out + Bytes(random() % 300);
    }

    std::string Ip(bool v6, bool allow_gtp = true)
    {
        static const std::uint8_t protocols[] = {6, 17, 17, 1, 58, 50, 132, 0, 44};
        std::uint8_t protocol = protocols[random() % sizeof(protocols)];
        std::string body = Transport(protocol, allow_gtp);
        std::string out;
        if (v6) {
            out = std::string("\x60\x00\x00\x00", 4);
            Put16Be(out, Chance(8) ? std::uint16_t(random()) : std::uint16_t(body.size()));
            out.push_back(char(protocol));
            out.push_back(64);
            out += Address(true) + Address(true);
        } else {
            out.push_back(char(Chance(10) ? 0x40 | (random() % 16) : 0x45));
            out.push_back(char(random()));
            Put16Be(out, Chance(8) ? std::uint16_t(random()) : std::uint16_t(20 + body.size()));
            out += Bytes(2);
            out += Chance(8) ? Bytes(2) : std::string("\x40\x00", 2);
            out.push_back(64);
            out.push_back(char(protocol));
            out += Bytes(2);
            out += Address(false) + Address(false);
        }
        return out + body;
    }

    void Damage(std::string &frame)
    {
        if (Chance(3)) frame.resize(random() % (frame.size() + 1));
        if (Chance(4) && !frame.empty()) frame[random() % frame.size()] = char(random());
    }

    std::mt19937 random;
};

TEST(CaptureFuzz, RandomFramesOfEveryLinkTypeNeverCrash)
{
    TempDir dir;
    FrameBuilder builder(4242);
    // Ethernet, Linux cooked, raw IP (LINKTYPE_RAW).
    for (std::uint32_t link_type : {1u, 113u, 101u}) {
        std::string file = PcapHeader(link_type);
        std::uint32_t seconds = 1000;
        for (int i = 0; i < 1500; ++i) {
            // Mostly forward in time, with long silences and steps back.
            seconds += std::uint32_t(i % 97 == 0 ? 45 : 0);
            if (i % 211 == 0) seconds -= 20;
            AppendFrame(file, seconds, std::uint32_t(i * 613 % 1000000), builder.Frame(link_type));
        }
        std::string path = dir.Write("frames-" + std::to_string(link_type) + ".pcap", file);
        RecordingDriver driver;
        vxCaptureOptions options = QuietOptions();
        options.local_nets = {"10.0.0.0/24"};
        vxCaptureSummary summary = vxReplayCapture(path, options, driver);
        EXPECT_EQ(summary.packets, 1500u);
        EXPECT_GT(summary.flows, 10u) << "link type " << link_type;
        EXPECT_EQ(driver.FlowsInMap(), 0u);
        EXPECT_TRUE(driver.faults.empty()) << driver.faults.front();
    }
}

}  // namespace
