// The plugin with its members opened to tests that link its code directly.
#pragma once

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace lpptest {

class TestPlugin : public lppPlugin {
public:
    using lppPlugin::lppPlugin;

    using lppPlugin::BuildRuntime;
    using lppPlugin::event_queue;
    using lppPlugin::event_queue_cond;
    using lppPlugin::event_queue_mutex;
    using lppPlugin::handler_mask;
    using lppPlugin::lua;
    using lppPlugin::reload;
    using lppPlugin::script_digest;
    using lppPlugin::script_path;

    std::size_t QueueLength()
    {
        std::lock_guard<std::mutex> guard(event_queue_mutex);
        return event_queue.size();
    }
};

}  // namespace lpptest
