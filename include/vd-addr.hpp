// Network addresses: MAC, IPv4 and IPv6, with an optional port; the daemon's address types.
#pragma once

#include <cstdint>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

class vdAddr {
public:
    // Rendering flags of GetString/MakeString.
    enum MakeFlags : std::uint8_t {
        MAKE_DEFAULT = 0x00,
        MAKE_WITH_PORT = 0x02,
    };

    // The daemon's address types: how an address relates to the host.
    enum Type : std::uint8_t {
        TYPE_NONE = 1,        // no type assigned
        TYPE_LOCAL = 2,       // an address of the host
        TYPE_LOCALNET = 3,    // in one of the host's local networks
        TYPE_RESERVED = 4,    // in a reserved range
        TYPE_MULTICAST = 5,   // a multicast address
        TYPE_BROADCAST = 6,   // a broadcast address
        TYPE_OTHER = 7,       // any other address
        TYPE_ERROR = 127,     // the type could not be determined
    };

    vdAddr() = default;
    vdAddr(const vdAddr &other);
    vdAddr &operator=(const vdAddr &other);

    // Address family of what is held; 0 when no address is set. MAC
    // addresses report FAMILY_MAC.
    int GetFamily() const { return family; }
    bool IsValid() const { return family != 0; }
    static constexpr int FAMILY_MAC = 0xff;

    // Setters clear the cached text.
    void Clear();
    void SetMAC(const std::uint8_t mac[6]);
    void SetIPv4(const in_addr &addr);
    void SetIPv6(const in6_addr &addr);
    // Port in host byte order; stored in network byte order.
    void SetPort(std::uint16_t port);
    // Parses "aa:bb:cc:dd:ee:ff", an IPv4 or an IPv6 text; false when the
    // text is none of these (the address is then left unchanged).
    bool SetFromString(const std::string &text);

    // The port; in host byte order when byte_swap is true.
    std::uint16_t GetPort(bool byte_swap = true) const;

    // Cached text of the address, rendered with flags. Serialised on one
    // process-wide mutex.
    std::string GetString(std::uint8_t flags = MAKE_DEFAULT);
    // Renders the text with flags into the cache.
    void MakeString(std::uint8_t flags);

    const std::uint8_t *GetMAC() const { return mac; }
    const sockaddr_storage &GetSockAddr() const { return addr; }

private:
    int family = 0;
    std::uint8_t mac[6] = {};
    sockaddr_storage addr = {};
    std::string cached_text;
    std::uint8_t cached_flags = 0;
};
