// --record: what a capture run sends to the plugin, written as a recording
// that replays to the same output. Flows are named in order of creation (so
// each lands in the same bucket of the flow map); each line carries only the
// fields that changed since the flow was last written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include <vessixd.hpp>

class vxRecordWriter {
public:
    // Creates or truncates path; throws std::runtime_error when it cannot.
    explicit vxRecordWriter(const std::string &path);
    ~vxRecordWriter();
    vxRecordWriter(const vxRecordWriter &) = delete;
    vxRecordWriter &operator=(const vxRecordWriter &) = delete;

    // A flow put into the flow map: an "update" line creates it with its
    // fields as they are.
    void AddFlow(vdFlow &flow);
    // A "flow" line with the fields that changed.
    void FlowEvent(std::uint16_t event, vdFlow &flow);
    // "update" lines for the flows that changed without an event, then the
    // "flow_map" line: the map then holds what the run's map held.
    void FlowMapEvent();
    void AgentEvent(std::uint16_t event);
    void PurgeFlow(vdFlow &flow);
    // A reload request (SIGHUP): a "reload" line.
    void Reload();

private:
    struct Known {
        vdFlow *flow = nullptr;
        std::string id;
        json fields;  // as last written
    };
    // The fields of flow that changed since it was last written (all of
    // them for a new flow, against a new flow's).
    json Changes(Known &known, vdFlow &flow);
    void Write(std::initializer_list<std::pair<const char *, json>> members);

    std::FILE *file = nullptr;
    std::string path;
    std::size_t created = 0;
    // By flow number, so that the flow map's updates come in creation order.
    std::map<std::size_t, Known> flows;
    std::map<const vdFlow *, std::size_t> number_of;
};
