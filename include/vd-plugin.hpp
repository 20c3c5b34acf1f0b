// The daemon's plugin base classes.
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
    enum class Event : std::uint16_t {
        RELOAD = 0,
        STATUS_UPDATE = 1,
    };

    enum class DispatchFlags : std::uint8_t {
        NONE = 0x00,
        FORMAT_JSON = 0x01,
        FORMAT_MSGPACK = 0x04,
        GZ_DEFLATE = 0x20,
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
    enum class Event : std::uint16_t {
        NONE = 0,
        FLOW_MAP = 1,
        FLOW_NEW = 2,
        FLOW_EXPIRING = 3,
        FLOW_EXPIRED = 4,
        FLOW_INTEL = 5,
        DPI_NEW = 6,
        DPI_UPDATE = 7,
        DPI_COMPLETE = 8,
        INTERFACES = 9,
        PKT_CAPTURE_STATS = 10,
        PKT_GLOBAL_STATS = 11,
        UPDATE_INIT = 12,
        UPDATE_COMPLETE = 13,
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
