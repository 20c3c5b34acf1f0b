// Flows and their codes, interfaces, the flow map and statistics records of the daemon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "vd-addr.hpp"

class vdInterface {
public:
    vdInterface(const std::string &ifname, std::uint8_t role) : ifname(ifname), role(role) {}

    std::string ifname;
    std::uint8_t role = 0;
};

// The daemon's protocol identifiers that plugins test.
enum : std::uint16_t {
    VD_PROTO_SMTP = 3,
    VD_PROTO_TLS = 91,
    VD_PROTO_QUIC = 188,
};

class vdFlow {
public:
    // lower_map: which of the flow's two sides is the local one.
    enum LowerMap : std::uint8_t {
        LOWER_UNKNOWN = 0,  // not known
        LOWER_LOCAL = 1,    // the lower side is local
        LOWER_OTHER = 2,    // the upper side is local
    };

    // other_type: what the side that is not local is.
    enum OtherType : std::uint8_t {
        OTHER_UNKNOWN = 0,      // not known
        OTHER_UNSUPPORTED = 1,  // an address kind the daemon does not classify
        OTHER_LOCAL = 2,        // a local address
        OTHER_MULTICAST = 3,    // a multicast address
        OTHER_BROADCAST = 4,    // a broadcast address
        OTHER_REMOTE = 5,       // a remote address
        OTHER_ERROR = 6,        // classifying the address failed
    };

    // tunnel_type: the tunnel the flow was carried in.
    enum TunnelType : std::uint8_t {
        TUNNEL_NONE = 0,  // not tunnelled
        TUNNEL_GTP = 1,   // GTP; the gtp member holds the tunnel's details
    };

    // origin: the side that sent the flow's first packet.
    enum Origin : std::uint8_t {
        ORIGIN_UNKNOWN = 0,  // not known
        ORIGIN_LOWER = 1,    // the lower side
        ORIGIN_UPPER = 2,    // the upper side
    };

    // privacy_mask: bits naming the addresses a plugin must not reveal.
    enum PrivacyMask : std::uint8_t {
        PRIVACY_LOWER_MAC = 0x01,  // the lower MAC address
        PRIVACY_UPPER_MAC = 0x02,  // the upper MAC address
        PRIVACY_UPPER_IP = 0x04,   // the upper IP address
        PRIVACY_LOWER_IP = 0x08,   // the lower IP address
    };

    // Guards the detection data (everything from gtp on).
    std::recursive_mutex lock;

    std::shared_ptr<vdInterface> iface;

    std::uint64_t digest_lower = 0;
    std::vector<std::uint64_t> digest_mdata;

    std::uint8_t ip_version = 0;
    std::uint8_t ip_dscp = 0;
    std::uint8_t ip_protocol = 0;
    std::uint16_t vlan_id = 0;
    std::uint64_t first_seen_at = 0;
    std::uint64_t last_seen_at = 0;

    std::uint8_t lower_map = 0;
    std::uint8_t other_type = 0;
    std::uint8_t tunnel_type = 0;
    std::uint8_t origin = 0;
    std::uint8_t privacy_mask = 0;

    vdAddr lower_mac, upper_mac;
    vdAddr lower_addr, upper_addr;

    struct Flags {
        bool detection_complete = false;
        bool detection_guessed = false;
        bool detection_init = false;
        bool detection_updated = false;
        bool dhc_hit = false;
        bool fhc_hit = false;
        bool expiring = false;
        bool expired = false;
        bool soft_dissector = false;
    } flags;

    struct Tcp {
        std::uint8_t fin_acks = 0;
        std::uint32_t last_seq = 0;
    } tcp;

    // Live counters, updated by the daemon's capture threads.
    struct Stats {
        std::uint64_t lower_bytes = 0;
        std::uint64_t upper_bytes = 0;
        std::uint64_t total_bytes = 0;
        std::uint64_t lower_total_bytes = 0;
        std::uint64_t upper_total_bytes = 0;
        std::uint32_t lower_packets = 0;
        std::uint32_t upper_packets = 0;
        std::uint32_t total_packets = 0;
        std::uint32_t lower_total_packets = 0;
        std::uint32_t upper_total_packets = 0;
        std::uint8_t detection_packets = 0;
        float lower_rate = 0;
        float upper_rate = 0;
        std::uint32_t tcp_seq_errors = 0;
        std::uint32_t tcp_resets = 0;
        std::uint32_t tcp_retrans = 0;
    } stats;

    struct Gtp {
        std::uint8_t version = 0;
        std::uint8_t ip_version = 0;
        std::uint8_t ip_dscp = 0;
        vdAddr lower_addr, upper_addr;
        // Tunnel endpoint identifiers as received: network byte order.
        std::uint32_t lower_teid = 0;
        std::uint32_t upper_teid = 0;
        std::uint8_t lower_type = 0;
        std::uint8_t upper_type = 0;
        std::uint8_t lower_map = 0;
        std::uint8_t other_type = 0;
    } gtp;

    std::string dns_host_name;
    std::string host_server_name;

    std::uint16_t detected_protocol = 0;
    std::uint16_t detected_application = 0;
    std::uint16_t master_protocol = 0;
    std::string detected_protocol_name;
    std::string detected_application_name;

    struct Category {
        std::uint32_t application = 0;
        std::uint32_t protocol = 0;
        std::uint32_t domain = 0;
        std::uint32_t lower_net = 0;
        std::uint32_t upper_net = 0;
        std::uint32_t overlay = 0;
    } category;

    struct Http {
        std::string user_agent;
        std::string url;
    } http;

    struct Dhcp {
        std::string fingerprint;
        std::string class_ident;
    } dhcp;

    struct Ssh {
        std::string client_agent;
        std::string server_agent;
    } ssh;

    struct Tls {
        std::uint16_t version = 0;
        std::uint16_t cipher_suite = 0;
        std::uint16_t encrypted_ch_version = 0;
        std::string server_cn;
        std::string issuer_dn;
        std::string subject_dn;
        std::string client_ja4;
        std::vector<std::uint8_t> fingerprint;
        std::vector<std::string> alpn;
        std::vector<std::string> alpn_server;
    } tls;

    bool smtp_tls = false;

    std::vector<std::uint8_t> bt_info_hash;
    std::string ssdp_user_agent;
    std::string mdns_domain_name;

    struct Stun {
        vdAddr mapped, peer, relayed, response, other;
    } stun;

    struct Risk {
        std::uint16_t score = 0;
        std::uint16_t score_client = 0;
        std::uint16_t score_server = 0;
        std::set<std::uint32_t> risks;
    } risk;

    std::set<std::string> tags;

    std::uint16_t GetMasterProtocol() const { return master_protocol; }

    bool HasHttpUserAgent() const { return !http.user_agent.empty(); }
    bool HasHttpURL() const { return !http.url.empty(); }
    bool HasDhcpFingerprint() const { return !dhcp.fingerprint.empty(); }
    bool HasDhcpClassIdent() const { return !dhcp.class_ident.empty(); }
    bool HasSSHClientAgent() const { return !ssh.client_agent.empty(); }
    bool HasSSHServerAgent() const { return !ssh.server_agent.empty(); }
    bool HasTLSClientSNI() const {
        return !host_server_name.empty() &&
            (master_protocol == VD_PROTO_TLS || detected_protocol == VD_PROTO_QUIC);
    }
    bool HasTLSEncryptedCH() const { return tls.encrypted_ch_version != 0; }
    bool HasTLSServerCN() const { return !tls.server_cn.empty(); }
    bool HasTLSIssuerDN() const { return !tls.issuer_dn.empty(); }
    bool HasTLSSubjectDN() const { return !tls.subject_dn.empty(); }
    bool HasTLSClientJA4() const { return !tls.client_ja4.empty(); }
    bool HasBTInfoHash() const { return !bt_info_hash.empty(); }
    bool HasSSDPUserAgent() const { return !ssdp_user_agent.empty(); }
    bool HasMDNSDomainName() const { return !mdns_domain_name.empty(); }
    bool HasSTUNAddress() const {
        return stun.mapped.IsValid() || stun.peer.IsValid() || stun.relayed.IsValid() ||
            stun.response.IsValid() || stun.other.IsValid();
    }
};

// The daemon's flows, in buckets with a lock each.
class vdFlowMap {
public:
    using Bucket = std::vector<std::shared_ptr<vdFlow>>;

    explicit vdFlowMap(std::size_t buckets);
    ~vdFlowMap();
    vdFlowMap(const vdFlowMap &) = delete;
    vdFlowMap &operator=(const vdFlowMap &) = delete;

    std::size_t GetBuckets() const { return buckets.size(); }

    // Locks bucket index and returns its flows; valid until Release(index).
    Bucket &Acquire(std::size_t index);
    void Release(std::size_t index);

private:
    std::vector<Bucket> buckets;
    std::unique_ptr<std::mutex[]> locks;
};

struct vdPacketStats {
    std::uint64_t pkt_raw = 0;
    std::uint64_t pkt_dropped = 0;
    std::uint64_t wire_bytes = 0;
};

struct vdInstanceStatus {
    double cpu_user = 0;
    double cpu_system = 0;
    std::size_t flows = 0;
    std::size_t flows_prev = 0;
};
