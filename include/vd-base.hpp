// Core helpers of the vessixd library: logging, exceptions, digests, variables.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

#include <nlohmann/json.hpp>

using json = nlohmann::json;

#if defined(__GNUC__)
#define VD_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define VD_PRINTF_FORMAT(f, a)
#endif

// Writes one log line; always logged.
void vd_printf(const char *format, ...) VD_PRINTF_FORMAT(1, 2);
// Writes one debug log line; logged only in debug mode.
void vd_dprintf(const char *format, ...) VD_PRINTF_FORMAT(1, 2);

// printf-style exception of the daemon and its plugins.
class vdException : public std::exception {
public:
    explicit vdException(const char *format, ...) VD_PRINTF_FORMAT(2, 3);
    ~vdException() override;
    const char *what() const noexcept override;

private:
    std::string message;
};

// SHA-1 digest of a file into digest (20 bytes). Returns 0, or a negative
// value when the file cannot be read.
int vd_sha1_file(const std::string &filename, std::uint8_t *digest);
// Lowercase hex text of a byte-list digest.
void vd_sha1_to_string(const std::vector<std::uint8_t> &digest, std::string &digest_str);
// Lowercase hex text (16 digits) of a 64-bit digest.
void vd_xxh64_to_string(std::uint64_t digest, std::string &digest_str);

// Replaces each ${NAME} in input by the value of NAME in vars; unknown names
// stay as written. Returns the number of replacements made.
std::size_t vd_expand_variables(const std::string &input, std::string &output,
    const std::map<std::string, std::string> &vars);

// A set of bits of the enumeration E.
template <typename E>
class vdFlags {
public:
    using value_type = std::underlying_type_t<E>;

    constexpr vdFlags() = default;
    constexpr vdFlags(E flag) : bits(static_cast<value_type>(flag)) {}
    constexpr explicit vdFlags(value_type value) : bits(value) {}

    constexpr value_type GetValue() const { return bits; }
    constexpr bool IsSet(E flag) const {
        return (bits & static_cast<value_type>(flag)) == static_cast<value_type>(flag);
    }

    constexpr vdFlags &operator|=(vdFlags other) { bits |= other.bits; return *this; }
    constexpr vdFlags &operator&=(vdFlags other) { bits &= other.bits; return *this; }
    friend constexpr vdFlags operator|(vdFlags a, vdFlags b) { return a |= b; }
    friend constexpr vdFlags operator&(vdFlags a, vdFlags b) { return a &= b; }
    friend constexpr bool operator==(vdFlags a, vdFlags b) { return a.bits == b.bits; }

private:
    value_type bits = 0;
};
