// Frames from a pcap or pcapng file, or a live interface, through libpcap.
#include "vx-pcap-reader.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <stdexcept>

#include <pcap/pcap.h>

#include "vx-decode.hpp"

namespace {

// What libpcap says about the handle's last failure, or about status when
// it left no message. For the failures a user can mend (no such interface,
// no permission) libpcap's word for the status comes first, with the
// system's reason after it, as its own tools show them.
std::string FailureText(pcap *handle, int status)
{
    std::string text = pcap_geterr(handle);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::string meaning = pcap_statustostr(status);
    if (text.empty()) return meaning;
    bool explained = status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
        status == PCAP_ERROR_PROMISC_PERM_DENIED;
    if (explained && text != meaning) return meaning + " (" + text + ")";
    return text;
}

}  // namespace

vxPcapReader::vxPcapReader(const std::string &path) : path(path)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    handle = pcap_open_offline(path.c_str(), error);
    if (handle == nullptr) {
        throw std::runtime_error("capture " + path + ": cannot read as pcap or pcapng: " + error);
    }
    try {
        CheckLinkType();
    } catch (const std::runtime_error &e) {
        pcap_close(handle);
        handle = nullptr;
        throw std::runtime_error("capture " + path + ": " + e.what());
    }
    struct stat info;
    if (::fstat(::fileno(pcap_file(handle)), &info) == 0 && S_ISREG(info.st_mode)) file_size = info.st_size;
}

std::unique_ptr<vxPcapReader> vxPcapReader::OpenInterface(const std::string &iface, bool promiscuous)
{
    std::unique_ptr<vxPcapReader> reader(new vxPcapReader());
    reader->path = iface;
    reader->live = true;
    char error[PCAP_ERRBUF_SIZE] = {};
    reader->handle = pcap_create(iface.c_str(), error);
    if (reader->handle == nullptr) throw std::runtime_error(error);
    pcap *handle = reader->handle;
    pcap_set_promisc(handle, promiscuous ? 1 : 0);
    // Each frame as soon as it arrives: update cycles run on the wall
    // clock, and a frame held back in a buffer would reach them late.
    pcap_set_immediate_mode(handle, 1);
    pcap_set_timeout(handle, 100);
    int status = pcap_activate(handle);
    if (status < 0) throw std::runtime_error(FailureText(handle, status));
    if (status > 0) reader->problem = FailureText(handle, status);
    if (pcap_setnonblock(handle, 1, error) != 0) throw std::runtime_error(error);
    reader->CheckLinkType();
    return reader;
}

void vxPcapReader::CheckLinkType()
{
    link_type = pcap_datalink(handle);
    if (vxLinkTypeSupported(link_type)) return;
    const char *name = pcap_datalink_val_to_name(link_type);
    throw std::runtime_error("unsupported link type " + std::to_string(link_type) +
        (name ? std::string(" (") + name + ")" : std::string()) +
        "; supported: Ethernet, Linux cooked, raw IP, BSD loopback");
}

vxPcapReader::~vxPcapReader()
{
    if (handle != nullptr) pcap_close(handle);
}

void vxPcapReader::SetFilter(const std::string &expression)
{
    bpf_u_int32 netmask = PCAP_NETMASK_UNKNOWN;
    if (live) {
        // The interface's netmask, for the "broadcast" primitive.
        bpf_u_int32 net = 0, mask = 0;
        char error[PCAP_ERRBUF_SIZE] = {};
        if (pcap_lookupnet(path.c_str(), &net, &mask, error) == 0) netmask = mask;
    }
    bpf_program program;
    if (pcap_compile(handle, &program, expression.c_str(), 1, netmask) != 0)
        throw std::runtime_error(FailureText(handle, PCAP_ERROR));
    int status = pcap_setfilter(handle, &program);
    pcap_freecode(&program);
    if (status != 0) throw std::runtime_error(FailureText(handle, status));
}

int vxPcapReader::SelectableFd() const { return pcap_get_selectable_fd(handle); }

double vxPcapReader::ShareRead() const
{
    if (live || file_size <= 0) return 0;
    long position = std::ftell(pcap_file(handle));
    if (position <= 0) return 0;
    return position >= file_size ? 1.0 : double(position) / double(file_size);
}

std::uint64_t vxPcapReader::Dropped() const
{
    pcap_stat stats{};
    if (!live || pcap_stats(handle, &stats) != 0) return 0;
    return std::uint64_t(stats.ps_drop) + stats.ps_ifdrop;
}

vxPcapReader::Status vxPcapReader::Next(vxFrame &frame)
{
    pcap_pkthdr *header = nullptr;
    const u_char *data = nullptr;
    int result = pcap_next_ex(handle, &header, &data);
    if (result == PCAP_ERROR_BREAK) return Status::END;
    if (result == 0 && live) return Status::IDLE;
    if (result != 1) {
        std::string message = FailureText(handle, result);
        if (live) {
            // The interface went away or down: what was captured stands.
            problem = message;
            return Status::END;
        }
        // libpcap reports a file that ends inside a record as "truncated";
        // everything before that record is sound.
        if (message.find("truncated") != std::string::npos) {
            problem = "capture " + path + ": " + message + "; stopped after frame " + std::to_string(frames);
            return Status::TRUNCATED;
        }
        throw std::runtime_error(
            "capture " + path + ": cannot read frame " + std::to_string(frames + 1) + ": " + message);
    }
    ++frames;
    // Times before the epoch, or with a bad fraction, are taken as given
    // but never wrap the clock.
    std::int64_t seconds = header->ts.tv_sec < 0 ? 0 : header->ts.tv_sec;
    std::int64_t micros = header->ts.tv_usec < 0 ? 0 : header->ts.tv_usec;
    frame.time_us = std::uint64_t(seconds) * 1000000u + std::uint64_t(micros);
    frame.wire_length = header->len;
    frame.captured_length = header->caplen;
    frame.data = data;
    return Status::FRAME;
}
