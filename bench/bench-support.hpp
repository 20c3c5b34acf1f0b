// What the benchmarks share: a plugin made with a configuration path alone,
// and a plugin running a script on its own worker thread.
#pragma once

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace lppbench {

class BenchPlugin : public lppPlugin {
public:
    explicit BenchPlugin(const std::string &conf = "unused") : lppPlugin("bench", {{"conf_filename", conf}}) {}
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
