// Event records: a flow share, its counters at queue time, and a document.
#include "lpp-plugin.hpp"

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow) : Entry(flow, json()) {}

lppEvent::Entry::Entry(std::shared_ptr<vdFlow> &flow, const json &doc)
    : flow(flow),
      lower_bytes(flow->stats.lower_bytes),
      upper_bytes(flow->stats.upper_bytes),
      total_bytes(flow->stats.total_bytes),
      lower_total_bytes(flow->stats.lower_total_bytes),
      upper_total_bytes(flow->stats.upper_total_bytes),
      lower_packets(flow->stats.lower_packets),
      upper_packets(flow->stats.upper_packets),
      total_packets(flow->stats.total_packets),
      lower_total_packets(flow->stats.lower_total_packets),
      upper_total_packets(flow->stats.upper_total_packets),
      detection_packets(flow->stats.detection_packets),
      lower_rate(flow->stats.lower_rate),
      upper_rate(flow->stats.upper_rate),
      tcp_seq_errors(flow->stats.tcp_seq_errors),
      tcp_resets(flow->stats.tcp_resets),
      tcp_retrans(flow->stats.tcp_retrans),
      doc(doc)
{
}

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow) { entries.emplace_back(flow); }

void lppEvent::PushFlow(std::shared_ptr<vdFlow> &flow, const json &doc)
{
    entries.emplace_back(flow, doc);
}
