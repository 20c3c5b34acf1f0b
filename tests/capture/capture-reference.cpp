// Runs tcpdump and nDPI's reader on a capture and parses what they print.
#include "capture-reference.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace {

std::string Quote(const std::string &text)
{
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

std::string Output(const std::string &command)
{
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) text.append(buffer, n);
    return text;
}

std::uint16_t PortOf(const std::string &endpoint)
{
    std::size_t colon = endpoint.rfind(':');
    return colon == std::string::npos ? 0 : std::uint16_t(std::stoul(endpoint.substr(colon + 1)));
}

CaptureReference Load(const std::string &path)
{
    CaptureReference reference;
    std::string lines = Output("tcpdump -r " + Quote(path) + " -nn 2>/dev/null");
    reference.tcpdump_packets = std::uint64_t(std::count(lines.begin(), lines.end(), '\n'));

    std::string report = Output("ndpiReader -t -v 2 -i " + Quote(path) + " 2>&1");
    std::smatch match;
    static const std::regex ip_packets(R"(IP packets:\s+(\d+))");
    static const std::regex unique_flows(R"(Unique flows:\s+(\d+))");
    if (std::regex_search(report, match, ip_packets)) reference.ip_packets = std::stoull(match[1]);
    if (std::regex_search(report, match, unique_flows)) reference.unique_flows = std::stoull(match[1]);

    static const std::regex flow_line(
        R"(^\s+\d+\s+(\S+) (\S+) <?-> (\S+) (?:\[VLAN: (\d+)\])?\[proto: (?:GTP:)?([0-9.]+)/)");
    static const std::regex counts(R"(\[(\d+) pkts/(\d+) bytes <?-> (\d+) pkts/(\d+) bytes\])");
    static const std::regex host(R"(\[Hostname/SNI: ([^\]]*)\])");
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (!std::regex_search(line, match, flow_line)) continue;
        ReferenceFlow flow;
        flow.l4 = match[1];
        flow.endpoint_a = match[2];
        flow.endpoint_b = match[3];
        flow.port_a = PortOf(flow.endpoint_a);
        flow.port_b = PortOf(flow.endpoint_b);
        if (match[4].matched) flow.vlan = std::uint16_t(std::stoul(match[4]));
        flow.protocol = match[5];
        if (std::regex_search(line, match, counts)) {
            flow.packets = std::stoull(match[1]) + std::stoull(match[3]);
            flow.bytes = std::stoull(match[2]) + std::stoull(match[4]);
        }
        if (std::regex_search(line, match, host)) flow.host = match[1];
        reference.flows.push_back(flow);
    }
    return reference;
}

}  // namespace

// The shared captures lie beside the checkout, in ../shared/captures.
std::string CaptureDir()
{
    static const std::string dir = [] {
        const std::string beside = std::string(LPP_TEST_SOURCE_DIR) + "/../shared/captures";
        if (access(beside.c_str(), R_OK) == 0) return beside;
        return std::string("/work/shared/captures");
    }();
    return dir;
}

std::vector<std::string> CaptureFiles()
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(CaptureDir().c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 5 && name.compare(name.size() - 5, 5, ".pcap") == 0) names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool ReferenceToolsPresent()
{
    return std::system("command -v tcpdump >/dev/null 2>&1 && command -v ndpiReader >/dev/null 2>&1") == 0;
}

const CaptureReference &ReferenceOf(const std::string &path)
{
    static std::map<std::string, CaptureReference> cache;
    auto found = cache.find(path);
    if (found == cache.end()) found = cache.emplace(path, Load(path)).first;
    return found->second;
}
