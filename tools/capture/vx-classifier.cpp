// Protocol detection with nDPI and its results in a vdFlow's form.
#include "vx-classifier.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <ndpi_api.h>

// Flow tables test the daemon's protocol codes; they are nDPI's own ids.
static_assert(int(VD_PROTO_TLS) == int(NDPI_PROTOCOL_TLS));
static_assert(int(VD_PROTO_QUIC) == int(NDPI_PROTOCOL_QUIC));
static_assert(int(VD_PROTO_SMTP) == int(NDPI_PROTOCOL_MAIL_SMTP));

namespace {

// nDPI gives up on flows still unknown after this many packets, as its own
// reader does.
constexpr std::uint32_t MAX_TCP_DETECTION_PACKETS = 80;
constexpr std::uint32_t MAX_UDP_DETECTION_PACKETS = 24;

std::string BoundedText(const char *text, std::size_t size)
{
    return std::string(text, strnlen(text, size));
}

std::string OptionalText(const char *text) { return text ? std::string(text) : std::string(); }

// "h2,http/1.1" into its names.
std::vector<std::string> SplitList(const char *text)
{
    std::vector<std::string> names;
    if (text == nullptr) return names;
    std::string list(text);
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        if (comma > start) names.push_back(list.substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// The common name in a distinguished name such as "C=US, O=x, CN=name".
std::string CommonName(const std::string &dn)
{
    std::size_t at = 0;
    while ((at = dn.find("CN=", at)) != std::string::npos) {
        if (at == 0 || dn[at - 1] == ' ' || dn[at - 1] == ',' || dn[at - 1] == '/') {
            std::size_t start = at + 3;
            std::size_t end = dn.find(',', start);
            return dn.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        at += 3;
    }
    return std::string();
}

bool IsTlsCarrier(std::uint16_t protocol)
{
    return protocol == NDPI_PROTOCOL_TLS || protocol == NDPI_PROTOCOL_QUIC || protocol == NDPI_PROTOCOL_DTLS;
}

}  // namespace

void vxDetectionFields::Apply(vdFlow &flow) const
{
    flow.detected_protocol = detected_protocol;
    flow.detected_application = detected_application;
    flow.master_protocol = master_protocol;
    flow.detected_protocol_name = detected_protocol_name;
    flow.detected_application_name = detected_application_name;
    flow.category.application = category_application;
    flow.category.protocol = category_protocol;
    flow.host_server_name = host_server_name;
    flow.http.user_agent = http_user_agent;
    flow.http.url = http_url;
    flow.dhcp.fingerprint = dhcp_fingerprint;
    flow.dhcp.class_ident = dhcp_class_ident;
    flow.ssh.client_agent = ssh_client_agent;
    flow.ssh.server_agent = ssh_server_agent;
    flow.tls.version = tls_version;
    flow.tls.cipher_suite = tls_cipher_suite;
    flow.tls.server_cn = tls_server_cn;
    flow.tls.issuer_dn = tls_issuer_dn;
    flow.tls.subject_dn = tls_subject_dn;
    flow.tls.fingerprint = tls_fingerprint;
    flow.tls.alpn = tls_alpn;
    flow.smtp_tls = smtp_tls;
    flow.bt_info_hash = bt_info_hash;
    flow.ssdp_user_agent = ssdp_user_agent;
    flow.mdns_domain_name = mdns_domain_name;
    flow.risk.risks = risks;
    flow.risk.score = risk_score;
    flow.risk.score_client = risk_score_client;
    flow.risk.score_server = risk_score_server;
    flow.flags.detection_guessed = guessed;
}

vxClassifier::vxClassifier()
{
    module = ndpi_init_detection_module(ndpi_no_prefs);
    if (module == nullptr) throw std::runtime_error("capture: cannot set up nDPI detection");
    NDPI_PROTOCOL_BITMASK all;
    NDPI_BITMASK_SET_ALL(all);
    ndpi_set_protocol_detection_bitmask2(module, &all);
    ndpi_finalize_initialization(module);
}

vxClassifier::~vxClassifier() { ndpi_exit_detection_module(module); }

std::unique_ptr<vxDetection> vxClassifier::NewDetection() { return std::make_unique<vxDetection>(*this); }

std::string vxClassifier::ProtocolName(std::uint16_t id) const
{
    if (id == NDPI_PROTOCOL_UNKNOWN) return std::string();
    const char *name = ndpi_get_proto_name(module, id);
    return name ? std::string(name) : std::string();
}

vxDetection::vxDetection(vxClassifier &classifier) : classifier(classifier)
{
    std::size_t size = ndpi_detection_get_sizeof_ndpi_flow_struct();
    state = static_cast<ndpi_flow_struct *>(ndpi_flow_malloc(size));
    if (state == nullptr) throw std::bad_alloc();
    std::memset(state, 0, size);
}

vxDetection::~vxDetection() { Release(); }

void vxDetection::Release()
{
    if (state != nullptr) {
        ndpi_free_flow(state);
        state = nullptr;
    }
}

vxDetectionStep vxDetection::Process(const vxIpHeader &ip, std::uint64_t time_ms, std::uint32_t flow_packets)
{
    vxDetectionStep step;
    if (complete || state == nullptr) return step;
    bool enough = (ip.protocol == IPPROTO_TCP && flow_packets > MAX_TCP_DETECTION_PACKETS) ||
        (ip.protocol == IPPROTO_UDP && flow_packets > MAX_UDP_DETECTION_PACKETS);
    // nDPI takes at most 64 KiB; a larger (jumbo) packet is cut there.
    unsigned short length = static_cast<unsigned short>(std::min<std::size_t>(ip.length, 0xffff));
    ndpi_protocol result =
        ndpi_detection_process_packet(classifier.module, state, ip.packet, length, time_ms);
    if (!enough && result.app_protocol == NDPI_PROTOCOL_UNKNOWN) return step;
    master = result.master_protocol;
    app = result.app_protocol;
    category = result.category;
    if (!known && app != NDPI_PROTOCOL_UNKNOWN) {
        known = true;
        step.first_result = true;
    }
    // Keep going while nDPI can still learn more (certificates, answers).
    if (!enough && ndpi_extra_dissection_possible(classifier.module, state)) return step;
    if (app == NDPI_PROTOCOL_UNKNOWN) return GiveUp();
    complete = true;
    step.completed = true;
    final_fields = std::make_unique<vxDetectionFields>(Extract());
    vxDnsAnswer answer;
    if (DnsAnswer(answer)) final_answer = std::make_unique<vxDnsAnswer>(answer);
    Release();
    return step;
}

vxDetectionStep vxDetection::GiveUp()
{
    vxDetectionStep step;
    if (complete || state == nullptr) return step;
    if (app == NDPI_PROTOCOL_UNKNOWN) {
        std::uint8_t was_guessed = 0;
        ndpi_protocol result = ndpi_detection_giveup(classifier.module, state, 1, &was_guessed);
        master = result.master_protocol;
        app = result.app_protocol;
        category = result.category;
        guessed = true;
    }
    if (!known) {
        known = true;
        step.first_result = true;
    }
    complete = true;
    step.completed = true;
    final_fields = std::make_unique<vxDetectionFields>(Extract());
    vxDnsAnswer answer;
    if (DnsAnswer(answer)) final_answer = std::make_unique<vxDnsAnswer>(answer);
    Release();
    return step;
}

vxDetectionFields vxDetection::Extract() const
{
    if (state == nullptr) return final_fields ? *final_fields : vxDetectionFields{};
    vxDetectionFields fields;
    // A sub-protocol (TLS.Google) names its carrier protocol and an
    // application; a plain one (DNS, or Google matched by address) only a
    // protocol.
    bool has_application = master != NDPI_PROTOCOL_UNKNOWN && master != app && app != NDPI_PROTOCOL_UNKNOWN;
    std::uint16_t protocol = has_application ? master : (app != NDPI_PROTOCOL_UNKNOWN ? app : master);
    fields.detected_protocol = protocol;
    fields.master_protocol = protocol;
    fields.detected_application = has_application ? app : 0;
    fields.detected_protocol_name = classifier.ProtocolName(protocol);
    fields.detected_application_name = classifier.ProtocolName(fields.detected_application);
    fields.category_application = category;
    ndpi_protocol protocol_only = {NDPI_PROTOCOL_UNKNOWN, protocol, NDPI_PROTOCOL_CATEGORY_UNSPECIFIED};
    fields.category_protocol = ndpi_get_proto_category(classifier.module, protocol_only);
    fields.guessed = guessed;

    const ndpi_flow_struct &flow = *state;
    fields.host_server_name = BoundedText(flow.host_server_name, sizeof(flow.host_server_name));
    // The HTTP block lives outside nDPI's per-protocol union: always valid.
    fields.http_user_agent = OptionalText(flow.http.user_agent);
    fields.http_url = OptionalText(flow.http.url);

    // The per-protocol union is read only for the protocol that nDPI's
    // inspection settled on: a guess by port or address leaves the union to
    // whichever dissector wrote last. Its pointers are followed only after a
    // full inspection; its fixed arrays also after a cache match (nDPI 4.2
    // reports even a BitTorrent handshake as one).
    bool inspected = flow.confidence == NDPI_CONFIDENCE_DPI || flow.confidence == NDPI_CONFIDENCE_DPI_CACHE;
    if (flow.confidence == NDPI_CONFIDENCE_DPI && (IsTlsCarrier(master) || IsTlsCarrier(app))) {
        const auto &tls = flow.protos.tls_quic;
        fields.tls_version = tls.ssl_version;
        fields.tls_cipher_suite = tls.server_cipher;
        fields.tls_alpn = SplitList(tls.alpn);
        fields.tls_issuer_dn = OptionalText(tls.issuerDN);
        fields.tls_subject_dn = OptionalText(tls.subjectDN);
        fields.tls_server_cn = CommonName(fields.tls_subject_dn);
        static const std::uint8_t no_fingerprint[sizeof(tls.sha1_certificate_fingerprint)] = {};
        if (std::memcmp(tls.sha1_certificate_fingerprint, no_fingerprint, sizeof(no_fingerprint)) != 0) {
            fields.tls_fingerprint.assign(std::begin(tls.sha1_certificate_fingerprint),
                std::end(tls.sha1_certificate_fingerprint));
        }
    } else if (inspected && protocol == NDPI_PROTOCOL_SSH) {
        const auto &ssh = flow.protos.ssh;
        fields.ssh_client_agent = BoundedText(ssh.client_signature, sizeof(ssh.client_signature));
        fields.ssh_server_agent = BoundedText(ssh.server_signature, sizeof(ssh.server_signature));
    } else if (inspected && protocol == NDPI_PROTOCOL_DHCP) {
        const auto &dhcp = flow.protos.dhcp;
        fields.dhcp_fingerprint = BoundedText(dhcp.fingerprint, sizeof(dhcp.fingerprint));
        fields.dhcp_class_ident = BoundedText(dhcp.class_ident, sizeof(dhcp.class_ident));
    } else if (inspected && protocol == NDPI_PROTOCOL_BITTORRENT && master != NDPI_PROTOCOL_TLS) {
        const auto &bt = flow.protos.bittorrent;
        static const std::uint8_t no_hash[sizeof(bt.hash)] = {};
        if (std::memcmp(bt.hash, no_hash, sizeof(no_hash)) != 0) {
            fields.bt_info_hash.assign(std::begin(bt.hash), std::end(bt.hash));
        }
    }
    if (protocol == NDPI_PROTOCOL_MAIL_SMTP && flow.l4_proto == IPPROTO_TCP) {
        fields.smtp_tls = flow.l4.tcp.ftp_imap_pop_smtp.auth_tls != 0;
    }
    if (protocol == NDPI_PROTOCOL_SSDP) fields.ssdp_user_agent = fields.http_user_agent;
    if (protocol == NDPI_PROTOCOL_MDNS) fields.mdns_domain_name = fields.host_server_name;

    for (std::uint32_t bit = 0; bit < 64; ++bit) {
        if (flow.risk & (ndpi_risk(1) << bit)) fields.risks.insert(bit);
    }
    if (flow.risk != 0) {
        std::uint16_t client = 0, server = 0;
        fields.risk_score = ndpi_risk2score(flow.risk, &client, &server);
        fields.risk_score_client = client;
        fields.risk_score_server = server;
    }
    return fields;
}

bool vxDetection::DnsAnswer(vxDnsAnswer &answer) const
{
    if (state == nullptr) {
        if (!final_answer) return false;
        answer = *final_answer;
        return true;
    }
    const ndpi_flow_struct &flow = *state;
    bool is_dns = master == NDPI_PROTOCOL_DNS || app == NDPI_PROTOCOL_DNS;
    if (!is_dns || flow.confidence != NDPI_CONFIDENCE_DPI) return false;
    const auto &dns = flow.protos.dns;
    if (dns.num_answers == 0 || flow.host_server_name[0] == '\0') return false;
    answer = vxDnsAnswer{};
    if (dns.rsp_type == 1) {  // A
        answer.version = 4;
        std::memcpy(answer.addr, &dns.rsp_addr.ipv4, 4);
    } else if (dns.rsp_type == 28) {  // AAAA
        answer.version = 6;
        std::memcpy(answer.addr, &dns.rsp_addr.ipv6, 16);
    } else {
        return false;
    }
    static const std::uint8_t zero[16] = {};
    if (std::memcmp(answer.addr, zero, 16) == 0) return false;
    answer.name = BoundedText(flow.host_server_name, sizeof(flow.host_server_name));
    return true;
}
