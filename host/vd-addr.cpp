// Addresses and their cached texts.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

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

// The text of an address, without touching any cache.
std::string RenderText(int family, const std::uint8_t *mac, const sockaddr_storage &addr,
    std::uint8_t flags)
{
    char text[INET6_ADDRSTRLEN + 16] = "";
    if (family == vdAddr::FAMILY_MAC) {
        std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x",
            mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    } else if (family == AF_INET) {
        const auto *sa = reinterpret_cast<const sockaddr_in *>(&addr);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa->sin_addr, ip, sizeof(ip));
        if (flags & vdAddr::MAKE_WITH_PORT)
            std::snprintf(text, sizeof(text), "%s:%u", ip, ntohs(sa->sin_port));
        else
            std::snprintf(text, sizeof(text), "%s", ip);
    } else if (family == AF_INET6) {
        const auto *sa = reinterpret_cast<const sockaddr_in6 *>(&addr);
        char ip[INET6_ADDRSTRLEN];
        inet_ntop(AF_INET6, &sa->sin6_addr, ip, sizeof(ip));
        if (flags & vdAddr::MAKE_WITH_PORT)
            std::snprintf(text, sizeof(text), "[%s]:%u", ip, ntohs(sa->sin6_port));
        else
            std::snprintf(text, sizeof(text), "%s", ip);
    }
    return text;
}

// "aa:bb:cc:dd:ee:ff" exactly: six pairs of hex digits.
bool ParseMAC(const std::string &text, std::uint8_t bytes[6])
{
    if (text.size() != 17) return false;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < 6; i++) {
        int high = digit(text[i * 3]), low = digit(text[i * 3 + 1]);
        if (high < 0 || low < 0) return false;
        if (i < 5 && text[i * 3 + 2] != ':') return false;
        bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return true;
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
    // inet_pton stops at a zero byte; text that goes on after one is no
    // address.
    if (text.find('\0') != std::string::npos) return false;
    if (inet_pton(AF_INET, text.c_str(), &ip4) == 1) {
        SetIPv4(ip4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &ip6) == 1) {
        SetIPv6(ip6);
        return true;
    }
    std::uint8_t bytes[6];
    if (ParseMAC(text, bytes)) {
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
        cached_text = RenderText(family, mac, addr, flags);
        cached_flags = flags;
    }
    return cached_text;
}

void vdAddr::MakeString(std::uint8_t flags)
{
    // The cache belongs to GetString as well: the text and the flags it was
    // made with change together, under the same mutex.
    std::string text = RenderText(family, mac, addr, flags);
    std::lock_guard<std::mutex> guard(TextMutex());
    cached_text = std::move(text);
    cached_flags = flags;
}
