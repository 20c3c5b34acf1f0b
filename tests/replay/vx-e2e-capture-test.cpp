// Packet captures and live capture through the program.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>

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

// Every field of every flow table, keys sorted, and a sink payload per
// update cycle: what a capture run and the replay of its record must agree on.
const char *const dump_script = R"(
local function dump(value)
    if type(value) ~= "table" then return tostring(value) end
    local keys = {}
    for k in pairs(value) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
    local parts = {}
    for _, k in ipairs(keys) do parts[#parts + 1] = tostring(k) .. "=" .. dump(value[k]) end
    return "{" .. table.concat(parts, ",") .. "}"
end
local seen = 0
function ProcessFlowEvent(event, flows)
    seen = seen + 1
    lpp.print("flow " .. event .. " " .. dump(flows[1]))
end
function ProcessFlowMap(flows)
    local each = {}
    for i, f in ipairs(flows) do each[i] = f.digest_lower .. ":" .. f.stats.total_bytes end
    lpp.print("map " .. #flows .. " " .. table.concat(each, " "))
end
function ProcessAgentEvent(event)
    lpp.print("agent " .. event)
    if event == LPP_EVENT_UPDATE_COMPLETE then lpp.dispatch("t", { "c" }, "seen " .. seen, 0, 0) end
end
)";

// The shared captures the tests can reach.
std::vector<std::string> SharedCaptures()
{
    const std::string folder = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures";
    std::vector<std::string> paths;
    if (DIR *listing = ::opendir(folder.c_str())) {
        while (dirent *entry = ::readdir(listing)) {
            const std::string name = entry->d_name;
            if (name.size() > 5 && (name.ends_with(".pcap") || name.ends_with(".pcapng")))
                paths.push_back(folder + "/" + name);
        }
        ::closedir(listing);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

TEST_F(Capture, ARecordedCaptureReplaysToTheSameOutput)
{
    const auto captures = SharedCaptures();
    if (captures.empty()) GTEST_SKIP() << "the shared captures are not there";
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", dump_script)}}.dump());
    for (const std::string &capture : captures) {
        SCOPED_TRACE(capture);
        // Short cycles and timeouts: flows change between events, show in
        // flow maps, expire and are purged.
        auto captured = Run({"--conf", conf, "--update-interval", "1", "--idle-timeout", "2", "--capture", capture,
            "--record", Path("r.jsonl"), "--sinks", Path("live.jsonl")});
        ASSERT_EQ(captured.status, 0) << captured.err;
        ASSERT_NE(captured.out.find("lua: flow "), std::string::npos) << captured.out;
        auto replayed = Run({"--conf", conf, "--sinks", Path("replayed.jsonl"), Path("r.jsonl")});
        ASSERT_EQ(replayed.status, 0) << replayed.err;
        EXPECT_EQ(replayed.out, captured.out);
        EXPECT_EQ(ReadFileText(Path("replayed.jsonl")), ReadFileText(Path("live.jsonl")));
    }

    // With a filter, the record holds what the filtered run sent.
    const std::string capture = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures/443-curl.pcap";
    if (ReadFileText(capture).empty()) return;
    auto filtered = Run({"--conf", conf, "--capture", capture, "--filter", "udp", "--record", Path("u.jsonl")});
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    auto replayed = Run({"--conf", conf, Path("u.jsonl")});
    EXPECT_EQ(replayed.out, filtered.out);
    EXPECT_EQ(ReadFileText(Path("u.jsonl")).find("\"ip_protocol\":6"), std::string::npos);
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

// SIGHUP asks for a reload, as it does a daemon: the live run goes on, the
// record has a "reload" line there, and the run ends as usual afterwards.
TEST_F(Capture, SighupReloadsInEveryMode)
{
    const std::string script = Write("s.lua", live_script);
    const std::string conf = Write("c.json", json{{"script", script}}.dump());
    auto reloaded = [](const std::string &out) { return LinesWith(out, "lua: Loading configuration: ").size(); };

    // A recording: served before the next line.
    const std::string rec = Write("r.jsonl", "{\"op\":\"sleep\",\"ms\":1500}\n{\"op\":\"agent\",\"event\":12}\n");
    auto replay = RunWith({}, {"-d", "--conf", conf, rec}, [&](pid_t pid) {
        ASSERT_TRUE(WaitForOutput(Path(".stdout"), started));
        ::kill(pid, SIGHUP);
    });
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(reloaded(replay.out), 2u) << replay.out;
    EXPECT_EQ(LinesWith(replay.out, "lua: agent "), std::vector<std::string>{"12"});

    // One that comes while the script is being built, before the plugin is
    // ready, is served right after.
    const std::string building = Path("building");
    const std::string slow_conf = Write("slow.json", json{{"script", Write("slow.lua",
        "io.open('" + building + "', 'w'):close()\n"
        "local t = os.clock() while os.clock() - t < 1 do end\n" + live_script)}}.dump());
    auto early = RunWith({}, {"-d", "--conf", slow_conf, Write("one.jsonl", "{\"op\":\"agent\",\"event\":12}\n")},
        [&](pid_t pid) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (::access(building.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ::kill(pid, SIGHUP);
        });
    EXPECT_EQ(early.status, 0) << early.err;
    EXPECT_EQ(reloaded(early.out), 2u) << early.out;
    EXPECT_EQ(LinesWith(early.out, "lua: agent "), std::vector<std::string>{"12"});

    if (::geteuid() != 0) GTEST_SKIP() << "capturing needs root";
    auto live = RunWith({}, {"-d", "--conf", conf, "--interface", "lo", "--filter", "port 9", "--record",
                                Path("live.jsonl")},
        [&](pid_t pid) {
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), started));
            ::kill(pid, SIGHUP);
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), "not reloading, no change"));
            ::kill(pid, SIGINT);
        });
    EXPECT_EQ(live.status, 0) << live.err;
    EXPECT_EQ(reloaded(live.out), 2u) << live.out;
    EXPECT_EQ(LinesWith(live.out, "lua: agent "), (std::vector<std::string>{"12", "13"}));
    // The record is complete: the reload and the last update cycle.
    const std::string record = ReadFileText(Path("live.jsonl"));
    EXPECT_EQ(LinesWith(record, "{\"op\":\"reload\"}").size(), 1u) << record;
    EXPECT_NE(record.find("\"event\":\"update_complete\""), std::string::npos) << record;
    auto again = Run({"-d", "--conf", conf, Path("live.jsonl")});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.out, live.out);
}

// A handler stuck in the last update cycle keeps the first stop signal from
// ending the run; a second one ends it at once.
TEST_F(Capture, ASecondStopSignalEndsALiveRunAtOnce)
{
    if (::geteuid() != 0) GTEST_SKIP() << "capturing needs root";
    const std::string conf = Write("c.json", json{{"script", Write("s.lua", R"(
function ProcessAgentEvent(event)
    lpp.print("agent " .. event)
    if event == LPP_EVENT_UPDATE_INIT then while true do end end
end
)")}}.dump());
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(signal);
        std::chrono::steady_clock::time_point second;
        auto run = RunWith({}, {"--conf", conf, "--interface", "lo", "--filter", "port 9"}, [&](pid_t pid) {
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), started));
            ::kill(pid, signal);
            ASSERT_TRUE(WaitForOutput(Path(".stdout"), "lua: agent 12"));
            // The first signal was taken: the run waits for the handler.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ASSERT_EQ(::kill(pid, 0), 0) << "ended before the second signal";
            second = std::chrono::steady_clock::now();
            ::kill(pid, signal);
        });
        EXPECT_LT(std::chrono::steady_clock::now() - second, std::chrono::seconds(10));
        EXPECT_EQ(run.status, -1) << "ended by the signal";
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
    std::vector<std::pair<std::vector<std::string>, std::string>> all = usages;
    all.push_back({{"--record", Path("out.jsonl"), rec}, "--record: only with --capture or --interface"});
    all.push_back({{"--capture", capture, "--record", dir.Path() + "/no/such/folder/r.jsonl"}, "--record: cannot write"});
    // The filter is compiled for the interface as for a file (as root, so
    // that opening the interface is not what fails).
    if (::geteuid() == 0)
        all.push_back({{"--interface", "lo", "--filter", "udp port"}, "cannot capture on lo: can't parse filter expression"});
    for (const auto &[args, message] : all) {
        run = Run(args);
        EXPECT_EQ(run.status, 1) << message;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

}  // namespace
