// Recordings: JSON Lines of daemon events, read and checked whole before
// anything is replayed.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <vessixd.hpp>

// A bad recording line. what() is "NAME:LINE: message".
class vxRecordingError : public std::runtime_error {
public:
    vxRecordingError(const std::string &name, std::size_t line, const std::string &message)
        : std::runtime_error(name + ":" + std::to_string(line) + ": " + message), line(line) {}

    std::size_t line;
};

enum class vxOpKind {
    FLOW,
    UPDATE,
    PURGE,
    FLOW_MAP,
    AGENT,
    INTERFACES,
    IFACE_STATS,
    GLOBAL_STATS,
    RELOAD,
    DISPATCH_EVENT,
    FILE,
    SINK,
    WAIT,
    SLEEP,
    STATUS,
};

// One checked line.
struct vxRecordingOp {
    vxOpKind kind = vxOpKind::WAIT;
    std::size_t line = 0;
    std::uint16_t event = 0;
    std::string id;             // flow, update, purge
    json set;                   // flow, update: null when absent
    bool has_json = false;      // flow: "json" present
    json doc;                   // flow: the "json" value
    bool status = false;        // agent: the instance-status overload
    std::string path;           // file: resolved against the recording's folder
    std::string text;           // file
    std::optional<std::string> fail;  // sink: null ends failing
    std::uint32_t ms = 0;       // sleep
};

// Event number of an "event" member: a number from 0 to 65535 or one of the
// event names; nullopt for anything else.
std::optional<std::uint16_t> vxEventNumber(const json &value);
// The inverse, as a recording writes it: the event's name where it has one,
// else its number.
json vxEventValue(std::uint16_t event);

// Reads every line of input and checks it; name is used in messages, folder
// is what relative "file" paths are resolved against. Throws
// vxRecordingError for the first bad line.
std::vector<vxRecordingOp> vxReadRecording(std::istream &input, const std::string &name,
    const std::string &folder);
