// Reading and checking a recording. The checker replays the flow changes on
// scratch flows of its own, so a "set" is checked against the flow it will
// change (a port needs its address, say) with the very code that applies it
// later; replaying a checked recording therefore meets no bad value.
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "vx-flow-fields.hpp"
#include "vx-recording.hpp"

namespace {

using Event = vdPluginProcessor::Event;

const std::pair<const char *, Event> event_names[] = {
    {"flow_map", Event::FLOW_MAP}, {"new", Event::FLOW_NEW}, {"expiring", Event::FLOW_EXPIRING},
    {"expired", Event::FLOW_EXPIRED}, {"intel", Event::FLOW_INTEL}, {"dpi_new", Event::DPI_NEW},
    {"dpi_update", Event::DPI_UPDATE}, {"dpi_complete", Event::DPI_COMPLETE},
    {"interfaces", Event::INTERFACES}, {"pkt_capture_stats", Event::PKT_CAPTURE_STATS},
    {"pkt_global_stats", Event::PKT_GLOBAL_STATS}, {"update_init", Event::UPDATE_INIT},
    {"update_complete", Event::UPDATE_COMPLETE},
};

std::uint16_t Number(Event event) { return static_cast<std::uint16_t>(event); }

struct OpShape {
    const char *name;
    vxOpKind kind;
    std::vector<const char *> required;
    std::vector<const char *> optional;
};

const OpShape op_shapes[] = {
    {"flow", vxOpKind::FLOW, {"event", "id"}, {"set", "json"}},
    {"update", vxOpKind::UPDATE, {"id", "set"}, {}},
    {"purge", vxOpKind::PURGE, {"id"}, {}},
    {"flow_map", vxOpKind::FLOW_MAP, {}, {"event"}},
    {"agent", vxOpKind::AGENT, {"event"}, {"status"}},
    {"interfaces", vxOpKind::INTERFACES, {}, {"event"}},
    {"iface_stats", vxOpKind::IFACE_STATS, {}, {"event"}},
    {"global_stats", vxOpKind::GLOBAL_STATS, {}, {"event"}},
    {"reload", vxOpKind::RELOAD, {}, {}},
    {"dispatch_event", vxOpKind::DISPATCH_EVENT, {"event"}, {}},
    {"file", vxOpKind::FILE, {"path", "text"}, {}},
    {"sink", vxOpKind::SINK, {"fail"}, {}},
    {"wait", vxOpKind::WAIT, {}, {}},
    {"sleep", vxOpKind::SLEEP, {"ms"}, {}},
    {"status", vxOpKind::STATUS, {}, {}},
};

std::string OpNames()
{
    std::string names;
    for (const auto &shape : op_shapes) names += std::string(names.empty() ? "" : ", ") + shape.name;
    return names;
}

std::string EventNames()
{
    std::string names;
    for (const auto &[name, number] : event_names) names += std::string(names.empty() ? "" : ", ") + name;
    return names;
}

std::string Quoted(const std::string &member) { return "\"" + member + "\""; }

std::string Join(const std::vector<const char *> &names)
{
    std::string text;
    for (const char *name : names) text += std::string(text.empty() ? "" : ", ") + Quoted(name);
    return text.empty() ? "none" : text;
}

// The line's text after leading blanks, or empty for a blank line.
bool IsSkipped(const std::string &line)
{
    std::size_t first = line.find_first_not_of(" \t\r\f\v");
    return first == std::string::npos || line[first] == '#';
}

}  // namespace

json vxEventValue(std::uint16_t event)
{
    for (const auto &[name, number] : event_names)
        if (Number(number) == event) return json(name);
    return json(event);
}

std::optional<std::uint16_t> vxEventNumber(const json &value)
{
    if (value.is_number_integer()) {
        if (!value.is_number_unsigned() && value.get<std::int64_t>() < 0) return std::nullopt;
        std::uint64_t n = value.get<std::uint64_t>();
        if (n <= 65535) return static_cast<std::uint16_t>(n);
        return std::nullopt;
    }
    if (value.is_string()) {
        for (const auto &[name, number] : event_names)
            if (value.get_ref<const std::string &>() == name) return Number(number);
    }
    return std::nullopt;
}

std::vector<vxRecordingOp> vxReadRecording(std::istream &input, const std::string &name,
    const std::string &folder)
{
    std::vector<vxRecordingOp> ops;
    // Scratch flows by id, changed as the replay will change the real ones.
    std::map<std::string, std::shared_ptr<vdFlow>> flows;

    std::string text;
    std::size_t number = 0;
    while (std::getline(input, text)) {
        number++;
        if (IsSkipped(text)) continue;
        auto fail = [&](const std::string &message) -> vxRecordingError {
            return vxRecordingError(name, number, message);
        };

        json object;
        try {
            object = json::parse(text);
        } catch (const json::exception &e) {
            // Syntax errors, and numbers beyond a double's range (1e400),
            // which the library reports as out_of_range.
            throw fail(std::string("not a JSON value: ") + e.what());
        }
        if (!object.is_object()) throw fail("expected a JSON object with a member \"op\"");
        auto op_member = object.find("op");
        if (op_member == object.end()) throw fail("member \"op\" is missing: expected one of " + OpNames());
        if (!op_member->is_string()) throw fail("\"op\": expected a string, one of " + OpNames());

        const OpShape *shape = nullptr;
        for (const auto &candidate : op_shapes)
            if (op_member->get_ref<const std::string &>() == candidate.name) shape = &candidate;
        if (shape == nullptr)
            throw fail("\"op\": unknown op \"" + op_member->get<std::string>() + "\": expected one of " + OpNames());

        // Every member is known to the op; nothing is ignored silently.
        for (const auto &[member, value] : object.items()) {
            if (member == "op") continue;
            bool known = false;
            for (const char *m : shape->required) known = known || member == m;
            for (const char *m : shape->optional) known = known || member == m;
            if (!known)
                throw fail(Quoted(member) + ": not a member of op \"" + shape->name + "\" (required: " +
                    Join(shape->required) + "; optional: " + Join(shape->optional) + ")");
        }
        for (const char *member : shape->required)
            if (!object.contains(member))
                throw fail(Quoted(member) + ": missing, op \"" + std::string(shape->name) + "\" requires it");

        vxRecordingOp op;
        op.kind = shape->kind;
        op.line = number;

        auto event_of = [&](std::uint16_t fallback) -> std::uint16_t {
            auto it = object.find("event");
            if (it == object.end()) return fallback;
            auto event = vxEventNumber(*it);
            if (!event)
                throw fail("\"event\": expected an event number from 0 to 65535 or an event name (" +
                    EventNames() + ")");
            return *event;
        };
        auto id_of = [&]() -> std::string {
            const json &id = object["id"];
            if (!id.is_string() || id.get_ref<const std::string &>().empty())
                throw fail("\"id\": expected a non-empty string");
            return id.get<std::string>();
        };
        auto apply_set = [&]() {
            auto it = object.find("set");
            if (it == object.end()) return;
            auto &flow = flows[op.id];
            if (!flow) {
                flow = std::make_shared<vdFlow>();
                vxInitFlow(*flow);
            }
            try {
                vxApplyFlowFields(*flow, *it);
            } catch (const vxFieldError &e) {
                throw fail(e.what());
            }
            op.set = *it;
        };

        switch (op.kind) {
        case vxOpKind::FLOW:
            op.event = event_of(Number(Event::NONE));
            op.id = id_of();
            apply_set();
            if (!flows.count(op.id)) {
                flows[op.id] = std::make_shared<vdFlow>();
                vxInitFlow(*flows[op.id]);
            }
            if (object.contains("json")) {
                op.has_json = true;
                op.doc = object["json"];
            }
            break;
        case vxOpKind::UPDATE:
            op.id = id_of();
            apply_set();
            break;
        case vxOpKind::PURGE:
            op.id = id_of();
            // Purging a flow that does not exist is most likely a typo in
            // the id: reported rather than ignored.
            if (flows.erase(op.id) == 0)
                throw fail("\"id\": expected the id of a flow that exists; \"" + op.id +
                    "\" was never created or is purged already");
            break;
        case vxOpKind::FLOW_MAP:
            op.event = event_of(Number(Event::FLOW_MAP));
            break;
        case vxOpKind::AGENT: {
            op.event = event_of(Number(Event::NONE));
            auto status = object.find("status");
            if (status != object.end()) {
                if (!status->is_boolean()) throw fail("\"status\": expected true or false");
                op.status = status->get<bool>();
            }
            break;
        }
        case vxOpKind::INTERFACES:
            op.event = event_of(Number(Event::INTERFACES));
            break;
        case vxOpKind::IFACE_STATS:
            op.event = event_of(Number(Event::PKT_CAPTURE_STATS));
            break;
        case vxOpKind::GLOBAL_STATS:
            op.event = event_of(Number(Event::PKT_GLOBAL_STATS));
            break;
        case vxOpKind::DISPATCH_EVENT:
            op.event = event_of(static_cast<std::uint16_t>(vdPlugin::Event::RELOAD));
            break;
        case vxOpKind::FILE: {
            const json &path = object["path"];
            if (!path.is_string() || path.get_ref<const std::string &>().empty())
                throw fail("\"path\": expected a non-empty string");
            const std::string &given = path.get_ref<const std::string &>();
            if (given.find('\0') != std::string::npos) throw fail("\"path\": expected a path without zero bytes");
            op.path = (given[0] == '/' || folder.empty()) ? given : folder + "/" + given;
            const json &file_text = object["text"];
            if (!file_text.is_string()) throw fail("\"text\": expected a string");
            op.text = file_text.get<std::string>();
            break;
        }
        case vxOpKind::SINK: {
            const json &fail_member = object["fail"];
            if (fail_member.is_string()) {
                op.fail = fail_member.get<std::string>();
            } else if (!fail_member.is_null()) {
                throw fail("\"fail\": expected a string (the message to fail with) or null");
            }
            break;
        }
        case vxOpKind::SLEEP: {
            const json &ms = object["ms"];
            if (!ms.is_number_unsigned() || ms.get<std::uint64_t>() > 3600000)
                throw fail("\"ms\": expected an integer number of milliseconds from 0 to 3600000");
            op.ms = static_cast<std::uint32_t>(ms.get<std::uint64_t>());
            break;
        }
        case vxOpKind::RELOAD:
        case vxOpKind::WAIT:
        case vxOpKind::STATUS:
            break;
        }
        ops.push_back(std::move(op));
    }
    if (input.bad()) throw vxRecordingError(name, number + 1, "cannot be read");
    return ops;
}
