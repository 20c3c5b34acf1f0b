// Plugin base classes and sink dispatch.
#include <cstdio>
#include <mutex>
#include <utility>

#include "vd-plugin.hpp"
#include "vessixd-standin.hpp"

namespace {

std::mutex payload_mutex;
vdPayloadSink payload_sink;
std::uint8_t plugin_type = vdPlugin::TYPE_PROCESSOR;

}  // namespace

void vd_standin_set_payload_sink(vdPayloadSink sink)
{
    std::lock_guard<std::mutex> guard(payload_mutex);
    payload_sink = std::move(sink);
}

void vd_standin_set_plugin_type(std::uint8_t type)
{
    std::lock_guard<std::mutex> guard(payload_mutex);
    plugin_type = type;
}

vdPlugin::vdPlugin(const std::string &tag, std::uint8_t type) : vdThread(tag), type(type) {}

vdPlugin::~vdPlugin() = default;

void vdPlugin::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, unsigned long length,
    const unsigned char *payload, vdFlags<DispatchFlags> flags)
{
    vdPayloadSink sink;
    {
        std::lock_guard<std::mutex> guard(payload_mutex);
        sink = payload_sink;
    }
    if (sink) {
        sink(target, channels, length, payload, flags.GetValue());
        return;
    }
    std::fprintf(stderr, "sink payload: target %s, %zu channel(s), %lu byte(s), flags 0x%02x\n",
        target.c_str(), channels.size(), length, static_cast<unsigned>(flags.GetValue()));
}

static std::uint8_t CurrentPluginType()
{
    std::lock_guard<std::mutex> guard(payload_mutex);
    return plugin_type;
}

vdPluginProcessor::vdPluginProcessor(
    const std::string &tag, const std::map<std::string, std::string> &params)
    : vdPlugin(tag, CurrentPluginType())
{
    auto conf = params.find("conf_filename");
    if (conf != params.end()) conf_filename = conf->second;
}

vdPluginProcessor::~vdPluginProcessor() = default;

// A processor that does not want an event leaves the overload alone.
void vdPluginProcessor::DispatchProcessorEvent(Event, vdFlowMap *) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, std::shared_ptr<vdFlow> &) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, std::shared_ptr<vdFlow> &, json &) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, Interfaces *) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, const std::string &, vdPacketStats *) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, vdPacketStats *) {}
void vdPluginProcessor::DispatchProcessorEvent(Event, vdInstanceStatus *) {}
void vdPluginProcessor::DispatchProcessorEvent(Event) {}

void vdPluginProcessor::DispatchSinkPayload(const std::string &target,
    const std::set<std::string> &channels, unsigned long length,
    const unsigned char *payload, vdFlags<vdPlugin::DispatchFlags> flags)
{
    vdPlugin::DispatchSinkPayload(target, channels, length, payload, flags);
}
