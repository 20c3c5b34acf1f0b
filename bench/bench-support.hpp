// What the benchmarks share: a plugin with its protected members open, and a
// plugin running a script on its own worker thread.
#pragma once

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "lpp-test-plugin.hpp"

namespace lppbench {

class BenchPlugin : public lpptest::TestPlugin {
public:
    explicit BenchPlugin(const std::string &conf = "unused")
        : TestPlugin("bench", {{"conf_filename", conf}})
    {
    }

    using lppPlugin::TakeRecord;
};

// A plugin whose worker runs script, with the log captured (debug lines
// included, so that handler errors are seen).
class RunningPlugin {
public:
    // conf_members: more members of the configuration, as JSON text
    // ("\"status\": true"), after "script".
    explicit RunningPlugin(const std::string &script, const std::string &conf_members = "");
    ~RunningPlugin();

    // Empty when the worker is running with the script loaded; otherwise
    // why not.
    const std::string &Failure() const { return failure; }
    BenchPlugin &Get() { return *plugin; }
    lpptest::LogCapture &Log() { return log; }
    // Number of handler errors logged so far.
    std::size_t HandlerErrors() const;

private:
    lpptest::GlobalConfigScope config;
    lpptest::TempDir dir;
    lpptest::LogCapture log{true};
    std::unique_ptr<BenchPlugin> plugin;
    std::string failure;
};

}  // namespace lppbench
