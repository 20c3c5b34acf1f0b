// The daemon's plugin base classes, their events, plugin types and dispatch flags.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "vd-base.hpp"
#include "vd-flow.hpp"
#include "vd-thread.hpp"

class vdPlugin : public vdThread {
public:
    // Events the daemon sends to every plugin through DispatchEvent.
    enum class Event : std::uint16_t {
        RELOAD = 0,         // reload the configuration
        STATUS_UPDATE = 1,  // the daemon's status was refreshed
    };

    // Format and compression of a payload handed to the sink plugins.
    enum class DispatchFlags : std::uint8_t {
        NONE = 0x00,            // raw bytes, uncompressed
        FORMAT_JSON = 0x01,     // the payload is JSON text
        FORMAT_MSGPACK = 0x04,  // the payload is MessagePack
        GZ_DEFLATE = 0x20,      // the sink compresses the payload with gzip
    };

    // Plugin types the base class records; a processor plugin accepts these
    // two and no other.
    enum Type : std::uint8_t {
        TYPE_PROCESSOR = 1,      // loaded as a processor
        TYPE_PROCESSOR_ALT = 2,  // loaded as a processor, the daemon's second kind
    };

    vdPlugin(const std::string &tag, std::uint8_t type);
    ~vdPlugin() override;

    virtual void GetLibrary(std::string &library) = 0;
    virtual void GetName(std::string &name) = 0;
    virtual void GetVersion(std::string &version) = 0;
    virtual void GetStatus(json &status) = 0;
    virtual void DisplayStatus(const json &status) = 0;
    virtual void DispatchEvent(Event event, void *param = nullptr) = 0;

    std::uint8_t GetType() const { return type; }

    // Hands a payload to the daemon's sink plugins.
    static void DispatchSinkPayload(const std::string &target,
        const std::set<std::string> &channels, unsigned long length,
        const unsigned char *payload, vdFlags<DispatchFlags> flags);

protected:
    std::uint8_t type;
};

class vdPluginProcessor : public vdPlugin {
public:
    // Events the daemon sends to processor plugins.
    enum class Event : std::uint16_t {
        NONE = 0,                // no event
        FLOW_MAP = 1,            // the whole flow map, once per update cycle
        FLOW_NEW = 2,            // a flow was first seen
        FLOW_EXPIRING = 3,       // a flow is about to expire
        FLOW_EXPIRED = 4,        // a flow has expired
        FLOW_INTEL = 5,          // intelligence about a flow, with a JSON document
        DPI_NEW = 6,             // detection started on a flow
        DPI_UPDATE = 7,          // detection learned more about a flow
        DPI_COMPLETE = 8,        // detection on a flow is complete
        INTERFACES = 9,          // the capture interfaces
        PKT_CAPTURE_STATS = 10,  // packet statistics of one interface
        PKT_GLOBAL_STATS = 11,   // packet statistics of all interfaces
        UPDATE_INIT = 12,        // an update cycle begins
        UPDATE_COMPLETE = 13,    // an update cycle ends, with the instance status
    };

    using Interfaces = std::map<std::string, std::shared_ptr<vdInterface>>;

    // Records the tag, the plugin type and the parameter "conf_filename".
    vdPluginProcessor(const std::string &tag, const std::map<std::string, std::string> &params);
    ~vdPluginProcessor() override;

    virtual void DispatchProcessorEvent(Event event, vdFlowMap *flow_map);
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow);
    virtual void DispatchProcessorEvent(Event event, std::shared_ptr<vdFlow> &flow, json &doc);
    virtual void DispatchProcessorEvent(Event event, Interfaces *interfaces);
    virtual void DispatchProcessorEvent(Event event, const std::string &iface, vdPacketStats *stats);
    virtual void DispatchProcessorEvent(Event event, vdPacketStats *stats);
    virtual void DispatchProcessorEvent(Event event, vdInstanceStatus *status);
    virtual void DispatchProcessorEvent(Event event);

    virtual void DispatchSinkPayload(const std::string &target,
        const std::set<std::string> &channels, unsigned long length,
        const unsigned char *payload, vdFlags<vdPlugin::DispatchFlags> flags);

protected:
    std::string conf_filename;
};

// The plugin library's entry: returns a new plugin, or null when the plugin
// type is not accepted.
extern "C" {
typedef vdPlugin *(*vdPluginInitFunction)(
    const std::string &tag, const std::map<std::string, std::string> &params);
}
