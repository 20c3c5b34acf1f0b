// Protocol detection with nDPI, and the detection results in the form a
// vdFlow holds them.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <vessixd.hpp>

#include "vx-decode.hpp"

struct ndpi_detection_module_struct;
struct ndpi_flow_struct;

// Everything detection sets on a flow. Compared as a whole to tell whether
// a packet changed what a script would see.
struct vxDetectionFields {
    std::uint16_t detected_protocol = 0;
    std::uint16_t detected_application = 0;
    std::uint16_t master_protocol = 0;
    std::string detected_protocol_name;
    std::string detected_application_name;
    std::uint32_t category_application = 0;
    std::uint32_t category_protocol = 0;
    std::string host_server_name;
    std::string http_user_agent;
    std::string http_url;
    std::string dhcp_fingerprint;
    std::string dhcp_class_ident;
    std::string ssh_client_agent;
    std::string ssh_server_agent;
    std::uint16_t tls_version = 0;
    std::uint16_t tls_cipher_suite = 0;
    std::string tls_server_cn;
    std::string tls_issuer_dn;
    std::string tls_subject_dn;
    std::vector<std::uint8_t> tls_fingerprint;
    std::vector<std::string> tls_alpn;
    bool smtp_tls = false;
    std::vector<std::uint8_t> bt_info_hash;
    std::string ssdp_user_agent;
    std::string mdns_domain_name;
    std::set<std::uint32_t> risks;
    std::uint16_t risk_score = 0;
    std::uint16_t risk_score_client = 0;
    std::uint16_t risk_score_server = 0;
    bool guessed = false;

    bool operator==(const vxDetectionFields &other) const = default;

    // Writes these fields into flow; the caller holds flow.lock.
    void Apply(vdFlow &flow) const;
};

// An address a DNS answer resolved, with the name asked for.
struct vxDnsAnswer {
    std::uint8_t version = 0;
    std::uint8_t addr[16] = {};
    std::string name;
};

class vxDetection;

// One nDPI detection module for a whole capture.
class vxClassifier {
public:
    // Throws std::runtime_error when nDPI cannot be set up.
    vxClassifier();
    ~vxClassifier();
    vxClassifier(const vxClassifier &) = delete;
    vxClassifier &operator=(const vxClassifier &) = delete;

    std::unique_ptr<vxDetection> NewDetection();

    // The protocol's name in nDPI's table.
    std::string ProtocolName(std::uint16_t id) const;

private:
    friend class vxDetection;
    ndpi_detection_module_struct *module = nullptr;
};

// What one packet did to a flow's detection.
struct vxDetectionStep {
    bool first_result = false;  // a protocol is known (or guessed) for the first time
    bool completed = false;  // nDPI is done with the flow
};

// The detection state of one flow.
class vxDetection {
public:
    explicit vxDetection(vxClassifier &classifier);
    ~vxDetection();
    vxDetection(const vxDetection &) = delete;
    vxDetection &operator=(const vxDetection &) = delete;

    // Hands ip (the flow's packet number flow_packets) to nDPI.
    vxDetectionStep Process(const vxIpHeader &ip, std::uint64_t time_ms, std::uint32_t flow_packets);
    // Ends detection of a flow that nDPI has not finished (idle, end of
    // capture): takes nDPI's guess.
    vxDetectionStep GiveUp();

    bool Known() const { return known; }
    bool Complete() const { return complete; }

    // The current results, read from nDPI's flow state.
    vxDetectionFields Extract() const;
    // A DNS answer the flow carried, if any.
    bool DnsAnswer(vxDnsAnswer &answer) const;

private:
    void Release();

    vxClassifier &classifier;
    ndpi_flow_struct *state = nullptr;
    std::uint16_t master = 0;  // nDPI's master and app protocol ids
    std::uint16_t app = 0;
    std::uint32_t category = 0;
    bool known = false;
    bool complete = false;
    bool guessed = false;
    // What Extract gave last before nDPI's state was released.
    std::unique_ptr<vxDetectionFields> final_fields;
    std::unique_ptr<vxDnsAnswer> final_answer;
};
