// A plugin with a script, driven from daemon-side threads.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace lpptest {

using Event = vdPluginProcessor::Event;

class PipelineTest : public ::testing::Test {
protected:
    static constexpr const char *kTag = "lua-test";

    GlobalConfigScope config;
    TempDir dir;
    LogCapture log{true};
    std::unique_ptr<lppPlugin> plugin;
    std::string script_file;

    ~PipelineTest() override { Stop(); }

    // Writes the script and its configuration (with the members of extra
    // besides "script") and constructs the plugin; the worker is not started.
    void Construct(const std::string &script, const json &extra = json::object())
    {
        script_file = dir.Write("script.lua", script);
        json members = extra;
        members["script"] = script_file;
        std::string conf = dir.Write("plugin.json", members.dump());
        plugin = std::make_unique<lppPlugin>(kTag, std::map<std::string, std::string>{{"conf_filename", conf}});
    }

    // Loads the script on this thread, as the worker's first pass would, so
    // that events can be queued before the worker runs.
    void LoadWithoutWorker(const std::string &script)
    {
        Construct(script);
        plugin->ServeReload();
    }

    // Starts the worker and waits for its first reload.
    void Start(const std::string &script, const json &extra = json::object())
    {
        Construct(script, extra);
        plugin->Create();
        ASSERT_TRUE(WaitFor([this] { return !plugin->ReloadRequested() || plugin->HasEnded(); }));
        ASSERT_FALSE(plugin->HasEnded()) << log.Text();
    }

    void Stop()
    {
        if (!plugin) return;
        // Releases a handler that waits for this file, so that the join
        // cannot hang after a failed assertion.
        dir.Write("go", "");
        plugin->Terminate();
        plugin.reset();
    }

    // Waits until the script has printed a line that contains text.
    bool WaitForLine(const std::string &text)
    {
        return WaitFor([&] { return !log.Matching(text).empty(); });
    }

    // The script's lpp.print lines, without the tag prefix and newline.
    std::vector<std::string> Printed(const std::string &prefix = "")
    {
        std::vector<std::string> printed;
        const std::string head = std::string(kTag) + ": " + prefix;
        for (const auto &line : log.Lines()) {
            if (line.compare(0, head.size(), head) != 0) continue;
            printed.push_back(line.substr(head.size(), line.size() - head.size() - 1));
        }
        return printed;
    }

    void SendFlow(Event event, std::shared_ptr<vdFlow> &flow)
    {
        plugin->DispatchProcessorEvent(event, flow);
    }

    void SendFlow(Event event, std::shared_ptr<vdFlow> &flow, json doc)
    {
        plugin->DispatchProcessorEvent(event, flow, doc);
    }

    // The plugin's member of the status document (null without one).
    json Status()
    {
        json status = json::object();
        plugin->GetStatus(status);
        return status.contains(kTag) ? status[kTag] : json();
    }

    void SendAgent(Event event)
    {
        plugin->DispatchProcessorEvent(event);
    }
};

// A flow that flow-map snapshots take: detection initialised, not expired.
inline std::shared_ptr<vdFlow> MakeDetectedFlow()
{
    auto flow = MakeFlow();
    flow->flags.detection_init = true;
    flow->ip_version = 4;
    flow->ip_protocol = 17;
    return flow;
}

}  // namespace lpptest
