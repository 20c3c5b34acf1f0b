// Writing a capture run as a recording, line by line as the run goes.
#include "vx-record-writer.hpp"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "vx-flow-fields.hpp"
#include "vx-recording.hpp"

namespace {

// The fields of a flow that no line has set yet.
const json &NewFlowFields()
{
    static const json fields = [] {
        vdFlow flow;
        vxInitFlow(flow);
        return vxFlowFieldsOf(flow);
    }();
    return fields;
}

}  // namespace

vxRecordWriter::vxRecordWriter(const std::string &path) : path(path)
{
    file = std::fopen(path.c_str(), "w");
    if (file == nullptr) throw std::runtime_error("--record: cannot write " + path + ": " + std::strerror(errno));
}

vxRecordWriter::~vxRecordWriter()
{
    if (file != nullptr) std::fclose(file);
}

void vxRecordWriter::Write(std::initializer_list<std::pair<const char *, json>> members)
{
    // Members in the order given ("op" first, as a person writes a line).
    // A name the capture decoded need not be UTF-8, which JSON text must
    // be: such bytes are written as U+FFFD.
    std::string text = "{";
    for (const auto &[name, value] : members) {
        if (text.size() > 1) text += ",";
        text += json(name).dump() + ":" + value.dump(-1, ' ', false, json::error_handler_t::replace);
    }
    text += "}\n";
    std::fwrite(text.data(), 1, text.size(), file);
    // Complete after every line: a live run may end on a signal.
    std::fflush(file);
}

json vxRecordWriter::Changes(Known &known, vdFlow &flow)
{
    json fields;
    {
        std::lock_guard<std::recursive_mutex> guard(flow.lock);
        fields = vxFlowFieldsOf(flow);
    }
    json delta = vxFlowFieldsDelta(known.fields, fields);
    known.fields = std::move(fields);
    return delta;
}

void vxRecordWriter::AddFlow(vdFlow &flow)
{
    const std::size_t number = created++;
    number_of[&flow] = number;
    Known &known = flows[number];
    known.flow = &flow;
    known.id = "f" + std::to_string(number + 1);
    known.fields = NewFlowFields();
    Write({{"op", "update"}, {"id", known.id}, {"set", Changes(known, flow)}});
}

void vxRecordWriter::FlowEvent(std::uint16_t event, vdFlow &flow)
{
    auto number = number_of.find(&flow);
    if (number == number_of.end()) return;
    Known &known = flows[number->second];
    json delta = Changes(known, flow);
    if (delta.empty())
        Write({{"op", "flow"}, {"event", vxEventValue(event)}, {"id", known.id}});
    else
        Write({{"op", "flow"}, {"event", vxEventValue(event)}, {"id", known.id}, {"set", std::move(delta)}});
}

void vxRecordWriter::FlowMapEvent()
{
    for (auto &[number, known] : flows) {
        json delta = Changes(known, *known.flow);
        if (!delta.empty()) Write({{"op", "update"}, {"id", known.id}, {"set", delta}});
    }
    Write({{"op", "flow_map"}});
}

void vxRecordWriter::AgentEvent(std::uint16_t event)
{
    Write({{"op", "agent"}, {"event", vxEventValue(event)}});
}

void vxRecordWriter::PurgeFlow(vdFlow &flow)
{
    auto number = number_of.find(&flow);
    if (number == number_of.end()) return;
    Write({{"op", "purge"}, {"id", flows[number->second].id}});
    flows.erase(number->second);
    number_of.erase(number);
}

void vxRecordWriter::Reload() { Write({{"op", "reload"}}); }
