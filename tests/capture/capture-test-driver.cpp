// The logging capture driver of the capture tests.
#include "capture-test-driver.hpp"

#include <sstream>

// Lowercase hex of bytes, as the tests compare digests.
std::string Hex(const std::vector<std::uint8_t> &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0f]);
    }
    return text;
}

namespace {

std::string ProtocolName(std::uint8_t protocol)
{
    switch (protocol) {
    case 1: return "ICMP";
    case 6: return "TCP";
    case 17: return "UDP";
    case 58: return "ICMPV6";
    default: return std::to_string(protocol);
    }
}

}  // namespace

std::string Endpoints(vdFlow &flow)
{
    return ProtocolName(flow.ip_protocol) + " " + flow.lower_addr.GetString(vdAddr::MAKE_WITH_PORT) + " <-> " +
        flow.upper_addr.GetString(vdAddr::MAKE_WITH_PORT);
}

std::string DescribeFlow(vdFlow &flow)
{
    std::lock_guard<std::recursive_mutex> hold(flow.lock);
    std::ostringstream out;
    const vdFlow::Stats &s = flow.stats;
    out << Endpoints(flow) << " vlan=" << flow.vlan_id << " digest=" << flow.digest_lower << " mdata=";
    for (std::uint64_t digest : flow.digest_mdata) out << digest << ",";
    out << " seen=" << flow.first_seen_at << "-" << flow.last_seen_at << " map=" << int(flow.lower_map) << "/"
        << int(flow.other_type) << " origin=" << int(flow.origin) << " tunnel=" << int(flow.tunnel_type)
        << " macs=" << flow.lower_mac.GetString() << "/" << flow.upper_mac.GetString() << " flags="
        << flow.flags.detection_init << flow.flags.detection_complete << flow.flags.detection_guessed
        << flow.flags.detection_updated << flow.flags.dhc_hit << flow.flags.expiring << flow.flags.expired
        << " stats=" << s.lower_bytes << "/" << s.upper_bytes << "/" << s.total_bytes << "/" << s.lower_total_bytes
        << "/" << s.upper_total_bytes << "/" << s.lower_packets << "/" << s.upper_packets << "/" << s.total_packets
        << "/" << s.lower_total_packets << "/" << s.upper_total_packets << "/" << int(s.detection_packets) << "/"
        << s.lower_rate << "/" << s.upper_rate << "/" << s.tcp_seq_errors << "/" << s.tcp_resets << "/"
        << s.tcp_retrans << " tcp=" << int(flow.tcp.fin_acks) << "/" << flow.tcp.last_seq
        << " proto=" << flow.detected_protocol << "." << flow.detected_application << "/" << flow.master_protocol
        << " " << flow.detected_protocol_name << "." << flow.detected_application_name << " cat="
        << flow.category.application << "/" << flow.category.protocol << " host=" << flow.host_server_name
        << " dns=" << flow.dns_host_name << " http=" << flow.http.url << "|" << flow.http.user_agent
        << " dhcp=" << flow.dhcp.fingerprint << "|" << flow.dhcp.class_ident << " ssh=" << flow.ssh.client_agent
        << "|" << flow.ssh.server_agent << " tls=" << flow.tls.version << "/" << flow.tls.cipher_suite << "/"
        << flow.tls.server_cn << "/" << flow.tls.issuer_dn << "/" << flow.tls.subject_dn << "/"
        << Hex(flow.tls.fingerprint) << "/";
    for (const std::string &alpn : flow.tls.alpn) out << alpn << ";";
    out << " smtp_tls=" << flow.smtp_tls << " bt=" << Hex(flow.bt_info_hash) << " ssdp=" << flow.ssdp_user_agent
        << " mdns=" << flow.mdns_domain_name << " risk=" << flow.risk.score << "/" << flow.risk.score_client << "/"
        << flow.risk.score_server << ":";
    for (std::uint32_t risk : flow.risk.risks) out << risk << ",";
    if (flow.tunnel_type == 1) {
        out << " gtp=" << int(flow.gtp.version) << "/" << flow.gtp.lower_addr.GetString(vdAddr::MAKE_WITH_PORT)
            << "/" << flow.gtp.upper_addr.GetString(vdAddr::MAKE_WITH_PORT) << "/" << flow.gtp.lower_teid << "/"
            << flow.gtp.upper_teid << "/" << int(flow.gtp.lower_type) << "/" << int(flow.gtp.upper_type) << "/"
            << int(flow.gtp.lower_map) << "/" << int(flow.gtp.other_type);
    }
    return out.str();
}

int RecordingDriver::IndexOf(const std::shared_ptr<vdFlow> &flow, const char *call)
{
    auto found = index_of.find(flow.get());
    if (found == index_of.end()) {
        faults.push_back(std::string(call) + " of a flow never added");
        return -1;
    }
    return found->second;
}

void RecordingDriver::Log(const std::string &call, int event, int index)
{
    std::string line = call + " " + std::to_string(event);
    if (index >= 0) line += " #" + std::to_string(index) + " " + DescribeFlow(*flows[index]);
    log.push_back(line);
}

void RecordingDriver::Observe(int index, const char *call, bool announce)
{
    if (index < 0) return;
    std::string now = DescribeFlow(*flows[index]);
    if (!announced[index] && now != last_seen[index]) {
        faults.push_back("flow #" + std::to_string(index) + " changed without BeforeChange before " + call +
            ":\n  was " + last_seen[index] + "\n  now " + now);
    }
    last_seen[index] = now;
    announced[index] = announce;
}

void RecordingDriver::AddFlow(std::shared_ptr<vdFlow> &flow)
{
    if (index_of.count(flow.get()) != 0) faults.push_back("flow added twice");
    int index = int(flows.size());
    flows.push_back(flow);
    in_map.push_back(true);
    last_seen.push_back(DescribeFlow(*flow));
    announced.push_back(false);
    index_of[flow.get()] = index;
    records.push_back({"add", 0, index, {}, {}});
    Log("add", 0, index);
}

void RecordingDriver::BeforeChange(std::shared_ptr<vdFlow> &flow)
{
    int index = IndexOf(flow, "BeforeChange");
    Observe(index, "BeforeChange", true);
    records.push_back({"change", 0, index, {}, {}});
    log.push_back("change #" + std::to_string(index));
}

void RecordingDriver::FlowEvent(vdPluginProcessor::Event event, std::shared_ptr<vdFlow> &flow)
{
    ++event_calls;
    int index = IndexOf(flow, "FlowEvent");
    Observe(index, "FlowEvent", false);
    if (index >= 0 && !in_map[index]) faults.push_back("event for purged flow #" + std::to_string(index));
    records.push_back({"flow", int(event), index, {}, {}});
    Log("flow", int(event), index);
}

void RecordingDriver::FlowMapEvent()
{
    ++event_calls;
    Record record{"flow_map", 1, -1, {}, {}};
    for (std::size_t i = 0; i < flows.size(); ++i) {
        // What the plugin's intake would take.
        if (!in_map[i]) continue;
        Observe(int(i), "FlowMapEvent", false);
        if (flows[i]->flags.detection_init && !flows[i]->flags.expired) {
            record.map.push_back(int(i));
            const vdFlow::Stats &stats = flows[i]->stats;
            record.packets.emplace_back(stats.total_packets, stats.lower_total_packets + stats.upper_total_packets);
        }
    }
    std::string line = "flow_map";
    for (int index : record.map) line.append(" ").append(std::to_string(index));
    log.push_back(line);
    records.push_back(record);
}

void RecordingDriver::AgentEvent(vdPluginProcessor::Event event)
{
    ++event_calls;
    records.push_back({"agent", int(event), -1, {}, {}});
    log.push_back("agent " + std::to_string(int(event)));
}

void RecordingDriver::PurgeFlow(std::shared_ptr<vdFlow> &flow)
{
    int index = IndexOf(flow, "PurgeFlow");
    Observe(index, "PurgeFlow", false);
    if (index >= 0) {
        if (!in_map[index]) faults.push_back("flow #" + std::to_string(index) + " purged twice");
        in_map[index] = false;
    }
    records.push_back({"purge", 0, index, {}, {}});
    log.push_back("purge #" + std::to_string(index));
}

bool RecordingDriver::Stopped() { return stop_after_events != 0 && event_calls >= stop_after_events; }

std::size_t RecordingDriver::FlowsInMap() const
{
    std::size_t count = 0;
    for (bool in : in_map) count += in ? 1 : 0;
    return count;
}

std::vector<int> RecordingDriver::FlowsWithEvent(int event) const
{
    std::vector<int> result;
    for (const Record &record : records) {
        if (record.call == "flow" && record.event == event) result.push_back(record.flow);
    }
    return result;
}
