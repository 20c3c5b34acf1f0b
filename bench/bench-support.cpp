// What the benchmarks share: plugins built from a configuration, with or
// without their worker.
#include "bench-support.hpp"

namespace lppbench {

RunningPlugin::RunningPlugin(const std::string &script, const std::string &conf_members)
{
    std::string script_file = dir.Write("bench.lua", script);
    std::string conf = dir.Write("bench.json", "{\"script\": \"" + script_file + "\"" +
            (conf_members.empty() ? "" : ", " + conf_members) + "}");
    plugin = std::make_unique<BenchPlugin>(conf);
    plugin->Create();
    if (!lpptest::WaitFor([this] { return !plugin->ReloadRequested() || plugin->HasEnded(); }) ||
        plugin->HasEnded())
        failure = "the worker did not load the script: " + log.Text();
}

RunningPlugin::~RunningPlugin()
{
    plugin->Terminate();
    plugin.reset();
}

std::size_t RunningPlugin::HandlerErrors() const { return log.Matching(": error: ").size(); }

}  // namespace lppbench
