// Addresses and their cached texts.
#include <cstdio>
#include <cstring>
#include <mutex>

#include <arpa/inet.h>

#include "vd-addr.hpp"

namespace {

// Guards the cached text and flags of every address, as GetString and
// the copy operations read and write them.
std::mutex &TextMutex()
{
    static std::mutex mutex;
    return mutex;
}

}  // namespace

vdAddr::vdAddr(const vdAddr &other)
{
    std::lock_guard<std::mutex> guard(TextMutex());
    family = other.family;
    std::memcpy(mac, other.mac, sizeof(mac));
    addr = other.addr;
    cached_text = other.cached_text;
    cached_flags = other.cached_flags;
}

vdAddr &vdAddr::operator=(const vdAddr &other)
{
    if (this == &other) return *this;
    std::lock_guard<std::mutex> guard(TextMutex());
    family = other.family;
    std::memcpy(mac, other.mac, sizeof(mac));
    addr = other.addr;
    cached_text = other.cached_text;
    cached_flags = other.cached_flags;
    return *this;
}

void vdAddr::Clear()
{
    std::lock_guard<std::mutex> guard(TextMutex());
    family = 0;
    std::memset(mac, 0, sizeof(mac));
    std::memset(&addr, 0, sizeof(addr));
    cached_text.clear();
    cached_flags = 0;
}

void vdAddr::SetMAC(const std::uint8_t new_mac[6])
{
    std::lock_guard<std::mutex> guard(TextMutex());
    std::memset(&addr, 0, sizeof(addr));
    std::memcpy(mac, new_mac, sizeof(mac));
    family = FAMILY_MAC;
    cached_text.clear();
}

void vdAddr::SetIPv4(const in_addr &ip)
{
    std::lock_guard<std::mutex> guard(TextMutex());
    in_port_t port = (family == AF_INET || family == AF_INET6)
        ? reinterpret_cast<const sockaddr_in *>(&addr)->sin_port : 0;
    if (family == AF_INET6) port = reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port;
    std::memset(&addr, 0, sizeof(addr));
    auto *sa = reinterpret_cast<sockaddr_in *>(&addr);
    sa->sin_family = AF_INET;
    sa->sin_addr = ip;
    sa->sin_port = port;
    family = AF_INET;
    cached_text.clear();
}

void vdAddr::SetIPv6(const in6_addr &ip)
{
    std::lock_guard<std::mutex> guard(TextMutex());
    in_port_t port = 0;
    if (family == AF_INET) port = reinterpret_cast<const sockaddr_in *>(&addr)->sin_port;
    if (family == AF_INET6) port = reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port;
    std::memset(&addr, 0, sizeof(addr));
    auto *sa = reinterpret_cast<sockaddr_in6 *>(&addr);
    sa->sin6_family = AF_INET6;
    sa->sin6_addr = ip;
    sa->sin6_port = port;
    family = AF_INET6;
    cached_text.clear();
}

void vdAddr::SetPort(std::uint16_t port)
{
    std::lock_guard<std::mutex> guard(TextMutex());
    if (family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&addr)->sin_port = htons(port);
    else if (family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port = htons(port);
    cached_text.clear();
}

bool vdAddr::SetFromString(const std::string &text)
{
    in_addr ip4;
    in6_addr ip6;
    unsigned int b[6];
    char tail;
    if (inet_pton(AF_INET, text.c_str(), &ip4) == 1) {
        SetIPv4(ip4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &ip6) == 1) {
        SetIPv6(ip6);
        return true;
    }
    if (text.size() == 17 &&
        std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c",
            &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) == 6) {
        for (std::size_t i = 2; i < text.size(); i += 3)
            if (text[i] != ':') return false;
        std::uint8_t bytes[6];
        for (int i = 0; i < 6; i++) bytes[i] = static_cast<std::uint8_t>(b[i]);
        SetMAC(bytes);
        return true;
    }
    return false;
}

std::uint16_t vdAddr::GetPort(bool byte_swap) const
{
    in_port_t port = 0;
    if (family == AF_INET)
        port = reinterpret_cast<const sockaddr_in *>(&addr)->sin_port;
    else if (family == AF_INET6)
        port = reinterpret_cast<const sockaddr_in6 *>(&addr)->sin6_port;
    return byte_swap ? ntohs(port) : port;
}

std::string vdAddr::GetString(std::uint8_t flags)
{
    std::lock_guard<std::mutex> guard(TextMutex());
    if (cached_text.empty() || cached_flags != flags) {
        cached_flags = flags;
        MakeString(flags);
    }
    return cached_text;
}

void vdAddr::MakeString(std::uint8_t flags)
{
    char text[INET6_ADDRSTRLEN + 16] = "";
    if (family == FAMILY_MAC) {
        std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x",
            mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    } else if (family == AF_INET) {
        const auto *sa = reinterpret_cast<const sockaddr_in *>(&addr);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa->sin_addr, ip, sizeof(ip));
        if (flags & MAKE_WITH_PORT)
            std::snprintf(text, sizeof(text), "%s:%u", ip, ntohs(sa->sin_port));
        else
            std::snprintf(text, sizeof(text), "%s", ip);
    } else if (family == AF_INET6) {
        const auto *sa = reinterpret_cast<const sockaddr_in6 *>(&addr);
        char ip[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &sa->sin6_addr, ip, sizeof(ip));
        if (flags & MAKE_WITH_PORT)
            std::snprintf(text, sizeof(text), "[%s]:%u", ip, ntohs(sa->sin6_port));
        else
            std::snprintf(text, sizeof(text), "%s", ip);
    }
    cached_text = text;
}
