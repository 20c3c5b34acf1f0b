// Sink payloads as JSON lines or summaries.
#include <stdexcept>

#include <vessixd.hpp>

#include "vessixd-standin.hpp"
#include "vx-sink-output.hpp"

namespace {

// Targets and channel names are the script's bytes; a text that is not
// UTF-8 is written with replacement characters rather than failing.
std::string JsonString(const std::string &text)
{
    return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

bool vxIsValidUtf8(const unsigned char *bytes, std::size_t length)
{
    std::size_t i = 0;
    while (i < length) {
        unsigned char lead = bytes[i];
        std::size_t extra;
        std::uint32_t code;
        if (lead < 0x80) {
            i++;
            continue;
        } else if ((lead & 0xe0) == 0xc0) {
            extra = 1;
            code = lead & 0x1f;
        } else if ((lead & 0xf0) == 0xe0) {
            extra = 2;
            code = lead & 0x0f;
        } else if ((lead & 0xf8) == 0xf0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return false;
        }
        if (length - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; k++) {
            if ((bytes[i + k] & 0xc0) != 0x80) return false;
            code = (code << 6) | (bytes[i + k] & 0x3f);
        }
        static const std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
        i += extra + 1;
    }
    return true;
}

std::string vxSinkLine(const std::string &target, const std::set<std::string> &channels,
    unsigned long length, const unsigned char *payload, std::uint8_t flags)
{
    static const char digits[] = "0123456789abcdef";
    // Built by hand: the key order is part of the output's format.
    std::string line = "{\"target\":" + JsonString(target) + ",\"channels\":[";
    bool first = true;
    for (const auto &channel : channels) {
        if (!first) line += ',';
        line += JsonString(channel);
        first = false;
    }
    line += "],\"flags\":" + std::to_string(flags) + ",\"length\":" + std::to_string(length) +
        ",\"payload_hex\":\"";
    for (unsigned long i = 0; i < length; i++) {
        line += digits[payload[i] >> 4];
        line += digits[payload[i] & 0x0f];
    }
    line += '"';
    if (vxIsValidUtf8(payload, length))
        line += ",\"payload\":" + json(std::string(reinterpret_cast<const char *>(payload), length)).dump();
    line += "}\n";
    return line;
}

vxSinkOutput::~vxSinkOutput()
{
    if (owns_file) std::fclose(file);
}

void vxSinkOutput::Open(const std::string &path)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (path == "-") {
        file = stdout;
        return;
    }
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("--sinks: cannot open " + path + " for writing");
    owns_file = true;
}

void vxSinkOutput::SetFail(std::optional<std::string> message)
{
    std::lock_guard<std::mutex> guard(mutex);
    fail = std::move(message);
}

void vxSinkOutput::Install()
{
    vd_standin_set_payload_sink([this](const std::string &target, const std::set<std::string> &channels,
                                    unsigned long length, const unsigned char *payload, std::uint8_t flags) {
        Dispatch(target, channels, length, payload, flags);
    });
}

void vxSinkOutput::Uninstall() { vd_standin_set_payload_sink(nullptr); }

void vxSinkOutput::Dispatch(const std::string &target, const std::set<std::string> &channels,
    unsigned long length, const unsigned char *payload, std::uint8_t flags)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (fail) throw std::runtime_error(*fail);
    if (file == nullptr) {
        std::fprintf(stderr, "sink payload: target %s, %zu channel(s), %lu byte(s), flags 0x%02x\n",
            target.c_str(), channels.size(), length, static_cast<unsigned>(flags));
        return;
    }
    // One write per line: stdio locks the stream for the call, so a line
    // never mixes with a log line on the same stream.
    std::string line = vxSinkLine(target, channels, length, payload, flags);
    std::fwrite(line.data(), 1, line.size(), file);
    std::fflush(file);
}
