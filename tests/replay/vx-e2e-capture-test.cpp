// Packet captures and live capture through the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include <pcap/pcap.h>

#include "vx-e2e-support.hpp"

namespace {

using Capture = vxReplayTest;

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

// Live capture on the loopback interface, of traffic the test makes itself
// between sockets on 127.0.0.1, picked out by its ports.

const char *const live_script = R"(
function ProcessFlowEvent(event, flows)
    local f = flows[1]
    lpp.print("flow " .. event .. " " .. f.iface.name .. " " .. f.ip_protocol .. " " .. f.lower_port .. " " .. f.upper_port)
end
function ProcessAgentEvent(event) lpp.print("agent " .. event) end
)";

// A socket on 127.0.0.1 with a port of its own.
struct LoopbackSocket {
    explicit LoopbackSocket(int type, bool listening = false)
    {
        fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(addr);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), length) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
            ADD_FAILURE() << "cannot bind a socket to 127.0.0.1";
        port = ntohs(addr.sin_port);
        if (listening) ::listen(fd, 4);
    }
    ~LoopbackSocket() { ::close(fd); }

    // Connects (TCP) or sends (UDP) to other's port on 127.0.0.1.
    bool SendTo(const LoopbackSocket &other, const std::string &text) const
    {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(other.port);
        auto *target = reinterpret_cast<sockaddr *>(&addr);
        if (::connect(fd, target, sizeof(addr)) != 0) return false;
        return ::send(fd, text.data(), text.size(), 0) == ssize_t(text.size());
    }

    int fd = -1;
    std::uint16_t port = 0;
};

// Whether this kernel hands loopback frames to a libpcap capture at all
// (some virtual machines deliver none to capture rings).
bool LoopbackFramesReachLibpcap()
{
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t *handle = pcap_create("lo", error);
    if (handle == nullptr) return false;
    pcap_set_immediate_mode(handle, 1);
    pcap_set_timeout(handle, 50);
    bool seen = false;
    if (pcap_activate(handle) >= 0) {
        LoopbackSocket receiver(SOCK_DGRAM), sender(SOCK_DGRAM);
        sender.SendTo(receiver, "probe");
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        while (!seen && std::chrono::steady_clock::now() < deadline) {
            seen = pcap_next_ex(handle, &header, &data) == 1 && header->caplen >= 38 &&
                ntohs(*reinterpret_cast<const std::uint16_t *>(data + 36)) == receiver.port;
        }
    }
    pcap_close(handle);
    return seen;
}

// Waits up to ten seconds for text in the running program's output.
bool WaitForOutput(const std::string &path, const std::string &text)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (vxReplayTest::ReadFileText(path).find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

const char *const started = "running the configured Lua script";

TEST_F(Capture, LiveOnLoopbackTheScriptSeesTheTestsOwnFlows)
{
    if (::geteuid() != 0) GTEST_SKIP() << "capturing needs root";
    if (!LoopbackFramesReachLibpcap()) GTEST_SKIP() << "this kernel hands no loopback frames to libpcap";
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", live_script)}}.dump());
    LoopbackSocket server(SOCK_STREAM, true), tcp_client(SOCK_STREAM), udp_server(SOCK_DGRAM), udp_client(SOCK_DGRAM);
    const std::string filter = "host 127.0.0.1 and (port " + std::to_string(server.port) + " or port " +
        std::to_string(udp_server.port) + ")";
    auto run = RunWith({}, {"--conf", conf, "--interface", "lo", "--filter", filter, "--duration", "3",
                                "--update-interval", "0.5"},
        [&](pid_t) {
            // The interface is open once the plugin has started.
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), started));
            ASSERT_TRUE(tcp_client.SendTo(server, "ping"));
            int accepted = ::accept(server.fd, nullptr, nullptr);
            char buffer[8];
            EXPECT_EQ(::recv(accepted, buffer, sizeof(buffer), 0), 4);
            ::close(accepted);
            EXPECT_TRUE(udp_client.SendTo(udp_server, "hello"));
        });
    ASSERT_EQ(run.status, 0) << run.err;

    // Each flow on lo, lower port first (both addresses are 127.0.0.1),
    // from new to expired, the events after the last update cycle included.
    auto ports = [](std::uint16_t a, std::uint16_t b) {
        return std::to_string(std::min(a, b)) + " " + std::to_string(std::max(a, b));
    };
    const std::string tcp = "lo 6 " + ports(tcp_client.port, server.port);
    const std::string udp = "lo 17 " + ports(udp_client.port, udp_server.port);
    std::map<std::string, std::vector<std::string>> events;
    for (const std::string &line : LinesWith(run.out, "lua: flow ")) {
        std::size_t space = line.find(' ');
        events[line.substr(space + 1)].push_back(line.substr(0, space));
    }
    EXPECT_EQ(events.size(), 2u) << "only the test's flows pass the filter:\n" << run.out;
    for (const std::string &flow : {tcp, udp}) {
        SCOPED_TRACE(flow);
        const std::vector<std::string> &seen = events[flow];
        ASSERT_GE(seen.size(), 3u) << run.out;
        EXPECT_EQ(seen.front(), "2");
        EXPECT_EQ(seen[seen.size() - 2], "3");
        EXPECT_EQ(seen.back(), "4");
    }
}

TEST_F(Capture, LiveEndsAfterItsDurationOrOnASignalWithALastUpdateCycle)
{
    if (::geteuid() != 0) GTEST_SKIP() << "capturing needs root";
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", live_script)}}.dump());
    // Update cycles on the wall clock, the last one at the end.
    auto begin = std::chrono::steady_clock::now();
    auto timed = Run({"--conf", conf, "--interface", "lo", "--filter", "port 9", "--duration", "0.7",
        "--update-interval", "0.2"});
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(700));
    ASSERT_EQ(timed.status, 0) << timed.err;
    EXPECT_GE(LinesWith(timed.out, "lua: agent 13").size(), 3u) << timed.out;
    EXPECT_EQ(LinesWith(timed.out, "lua: agent 12").size(), LinesWith(timed.out, "lua: agent 13").size());

    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        auto stopped = RunWith({}, {"--conf", conf, "--interface", "lo", "--filter", "port 9"}, [&](pid_t pid) {
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), started));
            ::kill(pid, signal);
        });
        EXPECT_EQ(stopped.status, 0) << stopped.err;
        EXPECT_EQ(LinesWith(stopped.out, "lua: agent "), (std::vector<std::string>{"12", "13"}));
    }
}

TEST_F(Capture, LiveWithoutPermissionSaysSoInOneLine)
{
    std::vector<std::string> prefix;
    if (::geteuid() == 0) {
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "setpriv is not there";
        prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    auto run = RunWith(prefix, {"--interface", "lo", "--filter", "port 9"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("vessix-replay: cannot capture on lo: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find("permission"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(run.out, "");
}

// A script slow enough that replaying a capture takes seconds.
const char *const slow_script = R"(
function ProcessFlowEvent(event, flows)
    local start = os.clock()
    while os.clock() - start < 0.005 do end
end
)";

TEST_F(Capture, AProgressLineOnStandardErrorOnlyWhenItIsATerminal)
{
    const std::string capture = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures/android.pcap";
    if (ReadFileText(capture).empty()) GTEST_SKIP() << capture << " is not there";
    if (::access("/usr/bin/script", X_OK) != 0) GTEST_SKIP() << "script(1) is not there";
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", slow_script)}}.dump());
    auto piped = Run({"--conf", conf, "--capture", capture});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "");
    // script(1) gives the program a terminal, whose text is its output.
    auto terminal = RunWith({"sh", "-c", "exec script -qec \"$*\" /dev/null", "sh"},
        {"--conf", conf, "--capture", capture});
    EXPECT_EQ(terminal.status, 0);
    EXPECT_NE(terminal.out.find(" packets, "), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find(" flows, "), std::string::npos) << terminal.out;
    EXPECT_NE(terminal.out.find("% of the capture read\r"), std::string::npos) << terminal.out;
}

TEST_F(Capture, ACaptureThatCannotBeReadIsAUsageError)
{
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", capture_script)}}.dump());
    auto run = Run({"--conf", conf, "--capture", Path("absent.pcap")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("absent.pcap"), std::string::npos) << run.err;
}

TEST_F(Capture, CaptureAndRecordingExcludeEachOther)
{
    const std::string rec = Write("r.jsonl", "");
    auto run = Run({"--capture", Path("x.pcap"), rec});
    EXPECT_EQ(run.status, 1);
    run = Run({"--idle-timeout", "5", rec});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("--idle-timeout: only with --capture"), std::string::npos) << run.err;

    // Options of the capture input, and a filter libpcap cannot compile,
    // are checked before the plugin is loaded (without --conf it would
    // not load: status 2).
    const std::string capture = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures/dns.pcap";
    const std::vector<std::pair<std::vector<std::string>, std::string>> usages = {
        {{"--filter", "udp", rec}, "--filter: only with --capture or --interface"},
        {{"--duration", "2", rec}, "--duration: only with --interface"},
        {{"--promiscuous", "--capture", capture}, "--promiscuous: only with --interface"},
        {{"--capture", capture, "--interface", "lo"}, "one capture input only"},
        {{"--interface", "lo", "--duration", "0"}, "--duration: expected a positive number"},
        {{"--capture", capture, "--filter", "udp port"}, "--filter: can't parse filter expression: syntax error"},
        {{"--interface", "no-such-interface"}, "cannot capture on no-such-interface: "},
    };
    for (const auto &[args, message] : usages) {
        run = Run(args);
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
