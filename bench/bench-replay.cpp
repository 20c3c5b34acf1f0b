// Recording lines per second through the stand-in daemon program: a whole
// run of vessix-replay (start, plugin load, replay, drain, shutdown) on a
// generated recording of flow events.
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench-support.hpp"

namespace lppbench {
namespace {

constexpr int kFlows = 64;
constexpr int kEvents = 20000;

// Flows are made and detected by the first lines; the rest are intel events
// without changes, which the tool sends without waiting for the worker.
std::string Recording()
{
    std::ostringstream out;
    for (int i = 0; i < kFlows; i++) {
        out << R"({"op":"flow","event":"new","id":"f)" << i << R"(","set":{"ip_version":4,"ip_protocol":6,)"
            << R"("lower_addr":"192.168.1.)" << (i + 1) << R"(","lower_port":)" << (40000 + i)
            << R"(,"upper_addr":"142.250.179.110","upper_port":443,"lower_map":1,)"
            << R"("lower_mac":"02:42:ac:11:00:02","upper_mac":"00:1b:21:3a:4f:5e",)"
            << R"("digest_mdata":[1,2],"flags":{"detection_init":true,"detection_complete":true},)"
            << R"("stats":{"lower_bytes":18342,"upper_bytes":1048576,"total_bytes":1066918},)"
            << R"("detected_protocol":91,"master_protocol":91,"detected_protocol_name":"TLS",)"
            << R"("detected_application_name":"Google","host_server_name":"www.example.com",)"
            << R"("tls":{"version":772,"cipher_suite":4865,"server_cn":"*.example.com",)"
            << R"("client_ja4":"t13d1516h2_8daaf6152771_02713d6af862","alpn":["h2","http/1.1"]},)"
            << R"("risk":{"score":60,"risks":[15,27,36]},"tags":["cdn","video"]}})" << "\n";
    }
    for (int i = kFlows; i < kEvents; i++) out << R"({"op":"flow","event":"intel","id":"f)" << i % kFlows << "\"}\n";
    out << R"({"op":"agent","event":"update_complete"})" << "\n";
    return out.str();
}

const char *const kScript = R"lua(
local events = 0
function ProcessFlowEvent(event, flows) events = events + 1 end
function ProcessAgentEvent(event) lpp.print("events=" .. events) end
)lua";

void BM_ReplayThroughput(benchmark::State &state)
{
    lpptest::TempDir dir;
    const std::string recording = dir.Write("bench.jsonl", Recording());
    const std::string script = dir.Write("bench.lua", kScript);
    const std::string conf = dir.Write("bench.json", "{\"script\": \"" + script + "\"}");
    const std::string output = dir.Path() + "/out.txt";
    const std::string command = std::string("'") + LPP_BENCH_REPLAY + "' -d --conf '" + conf + "' '" +
        recording + "' > '" + output + "' 2>&1";

    for (auto _ : state) {
        const int status = std::system(command.c_str());
        state.PauseTiming();
        std::ifstream in(output);
        std::stringstream text;
        text << in.rdbuf();
        const std::string log = text.str();
        state.ResumeTiming();
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError(("vessix-replay failed: " + log.substr(0, 2000)).c_str());
            break;
        }
        if (log.find(": error: ") != std::string::npos) {
            state.SkipWithError(("a handler raised errors: " + log.substr(0, 2000)).c_str());
            break;
        }
        if (log.find("lua: events=" + std::to_string(kEvents) + "\n") == std::string::npos) {
            state.SkipWithError(("the handler did not see every event: " + log.substr(0, 2000)).c_str());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * (kEvents + 1));
}
BENCHMARK(BM_ReplayThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace lppbench
