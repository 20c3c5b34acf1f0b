// The plugin library as the daemon sees it: loaded with dlopen, its one
// exported entry, identity, construction, reload requests, sink payloads and
// destruction.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <typeinfo>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "lpp-test-support.hpp"

namespace {

vdPluginInitFunction PluginInit()
{
    // Loaded once and kept for the whole program, as the daemon does.
    static void *library = dlopen(LPP_PLUGIN_PATH, RTLD_NOW);
    if (library == nullptr) {
        ADD_FAILURE() << "dlopen: " << dlerror();
        return nullptr;
    }
    auto init = reinterpret_cast<vdPluginInitFunction>(dlsym(library, "vdPluginInit"));
    if (init == nullptr) ADD_FAILURE() << "dlsym: " << dlerror();
    return init;
}

// Terminates before destroying, as the daemon does, so that a test that
// stops early never waits on a worker loop that does not end.
struct PluginDeleter {
    void operator()(vdPlugin *plugin) const
    {
        plugin->Terminate();
        delete plugin;
    }
};
using PluginPtr = std::unique_ptr<vdPlugin, PluginDeleter>;

PluginPtr MakePlugin(const std::map<std::string, std::string> &params, std::uint8_t type = vdPlugin::TYPE_PROCESSOR,
    const std::string &tag = "lua")
{
    vd_standin_set_plugin_type(type);
    vdPluginInitFunction init = PluginInit();
    PluginPtr plugin(init != nullptr ? init(tag, params) : nullptr);
    vd_standin_set_plugin_type(vdPlugin::TYPE_PROCESSOR);
    return plugin;
}

// The start of the worker's banner line.
const char *const kBanner = "lua: Vessix Lua Processor Plugin v1.2.5 ";

const std::map<std::string, std::string> kParams = {{"conf_filename", "/nonexistent/lua.json"}};

std::string CommandOutput(const std::string &command)
{
    std::string output;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    std::size_t length;
    while ((length = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, length);
    pclose(pipe);
    return output;
}

std::string Demangle(const char *name)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> text(
        abi::__cxa_demangle(name, nullptr, nullptr, &status), std::free);
    return status == 0 ? std::string(text.get()) : std::string(name);
}

}  // namespace

TEST(PluginLibrary, SonamesAndTheOneExportedSymbol)
{
    const std::string plugin = LPP_PLUGIN_PATH;
    const std::string daemon = std::string(LPP_TEST_BINARY_DIR) + "/libvessixd.so.15";
    EXPECT_NE(CommandOutput("readelf -d '" + plugin + "'").find("Library soname: [libvessix-proc-lua.so.0]"),
        std::string::npos);
    const std::string daemon_dynamic = CommandOutput("readelf -d '" + daemon + "'");
    EXPECT_NE(daemon_dynamic.find("Library soname: [libvessixd.so.15]"), std::string::npos);

    // Every defined dynamic symbol; names reserved to the toolchain
    // (leading underscores, as sanitizer builds add) are not the project's.
    std::istringstream symbols(CommandOutput("nm -D --defined-only '" + plugin + "'"));
    std::set<std::string> own;
    std::string line;
    while (std::getline(symbols, line)) {
        std::string name = line.substr(line.rfind(' ') + 1);
        if (name.rfind("_", 0) != 0) own.insert(name);
    }
    EXPECT_EQ(own, std::set<std::string>{"vdPluginInit"});
}

TEST(PluginFrame, IdentityOverwritesWhatWasThere)
{
    PluginPtr plugin = MakePlugin(kParams);
    ASSERT_TRUE(plugin);
    std::string text = "something much longer than any identity string of the plugin";
    plugin->GetLibrary(text);
    EXPECT_EQ(text, "vessix-proc-lua");
    plugin->GetName(text);
    EXPECT_EQ(text, "Vessix Lua Processor Plugin");
    text = "x";
    plugin->GetVersion(text);
    EXPECT_EQ(text, "1.2.5");

    // The status operations add and show nothing.
    json status = {{"daemon", 1}};
    plugin->GetStatus(status);
    EXPECT_EQ(status, (json{{"daemon", 1}}));
    lpptest::LogCapture log;
    plugin->DisplayStatus(status);
    EXPECT_TRUE(log.Lines().empty());

    const vdPlugin &object = *plugin;
    EXPECT_EQ(Demangle(typeid(object).name()), "lppPlugin");
    EXPECT_NE(dynamic_cast<vdPluginProcessor *>(plugin.get()), nullptr);
}

TEST(PluginFrame, MissingOrEmptyConfigurationNameThrowsAndLogsNothing)
{
    const std::string expected = std::string("lua: conf_filename: ") + std::strerror(EINVAL);
    for (const auto &params : {std::map<std::string, std::string>{},
             std::map<std::string, std::string>{{"conf_filename", ""}, {"other", "x"}}}) {
        lpptest::LogCapture log(true);
        try {
            PluginPtr plugin = MakePlugin(params);
            ADD_FAILURE() << "vdPluginInit returned";
        } catch (const vdException &e) {
            EXPECT_EQ(std::string(e.what()), expected);
        }
        EXPECT_TRUE(log.Lines().empty()) << log.Text();
    }
}

TEST(PluginFrame, OnlyPluginTypesOneAndTwoAreAccepted)
{
    for (unsigned type : {0u, 3u, 255u}) {
        lpptest::LogCapture log(false);
        PluginPtr plugin = MakePlugin(kParams, static_cast<std::uint8_t>(type), "proc");
        EXPECT_FALSE(plugin) << type;
        EXPECT_EQ(log.Lines(),
            std::vector<std::string>{"Invalid plugin type: proc [" + std::to_string(type) + "]\n"});
    }
    for (unsigned type : {vdPlugin::TYPE_PROCESSOR, vdPlugin::TYPE_PROCESSOR_ALT}) {
        lpptest::LogCapture log(false);
        PluginPtr plugin = MakePlugin(kParams, static_cast<std::uint8_t>(type));
        ASSERT_TRUE(plugin) << type;
        EXPECT_EQ(plugin->GetType(), type);
        EXPECT_EQ(plugin->GetTag(), "lua");
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST(PluginFrame, ConstructionLogsOneDebugLine)
{
    {
        lpptest::LogCapture log(true);
        PluginPtr plugin = MakePlugin(kParams, 1, "proc");
        ASSERT_TRUE(plugin);
        const auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], "proc: initialized with sol2 v3.5.0 and Lua core v5.04\n");
        log.Clear();
        plugin.reset();
        EXPECT_EQ(log.Lines(), std::vector<std::string>{"proc: destroyed\n"});
    }
    {
        // Not a normal-level line: nothing outside debug mode.
        lpptest::LogCapture log(false);
        PluginPtr plugin = MakePlugin(kParams);
        ASSERT_TRUE(plugin);
        plugin.reset();
        EXPECT_TRUE(log.Lines().empty()) << log.Text();
    }
}

TEST(PluginFrame, SinkPayloadsAreForwardedUnchanged)
{
    PluginPtr plugin = MakePlugin(kParams);
    ASSERT_TRUE(plugin);
    auto *processor = dynamic_cast<vdPluginProcessor *>(plugin.get());
    ASSERT_NE(processor, nullptr);

    lpptest::PayloadCapture sink;
    const unsigned char bytes[] = {'a', 0, 0xff, 'b'};
    processor->DispatchSinkPayload("target", {"one", "two"}, sizeof(bytes), bytes,
        vdFlags<vdPlugin::DispatchFlags>(static_cast<std::uint8_t>(0x21)));
    const auto payloads = sink.Payloads();
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].target, "target");
    EXPECT_EQ(payloads[0].channels, (std::set<std::string>{"one", "two"}));
    EXPECT_EQ(payloads[0].bytes, std::string("a\0\xff" "b", 4));
    EXPECT_EQ(payloads[0].flags, 0x21);

    // The daemon's failure reaches the caller.
    sink.FailWith("sink down");
    EXPECT_THROW(processor->DispatchSinkPayload("target", {}, 0, bytes,
                     vdFlags<vdPlugin::DispatchFlags>(vdPlugin::DispatchFlags::FORMAT_JSON)),
        std::runtime_error);
}

namespace {

// Deletes plugin on a helper thread; true when that finished within a
// generous bound.
bool DestroyedPromptly(PluginPtr plugin)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread destroyer([p = plugin.release(), done] {
        delete p;
        *done = true;
    });
    const bool finished = lpptest::WaitFor([&] { return done->load(); });
    if (finished)
        destroyer.join();
    else
        destroyer.detach();
    return finished;
}

}  // namespace

TEST(PluginFrame, TerminatedPluginIsDestroyedPromptly)
{
    lpptest::LogCapture log(false);
    lpptest::GlobalConfigScope config;
    lpptest::TempDir dir;
    const std::string script =
        dir.Write("agent.lua", "function ProcessAgentEvent(event) lpp.print('agent ' .. event) end\n");
    const std::string conf = dir.Write("lua.json", "{\"script\": \"" + script + "\"}\n");

    // Terminated before it started: Entry writes its banner and returns.
    {
        PluginPtr plugin = MakePlugin({{"conf_filename", conf}});
        ASSERT_TRUE(plugin);
        plugin->Terminate();
        plugin->Create();
        ASSERT_TRUE(lpptest::WaitFor([&] { return plugin->HasEnded(); }));
        EXPECT_FALSE(plugin->EndedByException());
        EXPECT_EQ(log.Matching(kBanner).size(), 1u);
        EXPECT_TRUE(DestroyedPromptly(std::move(plugin)));
    }
    // Started, left waiting for events, then terminated: the pass in hand
    // ends within its wait.
    {
        PluginPtr plugin = MakePlugin({{"conf_filename", conf}});
        ASSERT_TRUE(plugin);
        plugin->Create();
        ASSERT_TRUE(lpptest::WaitFor([&] { return log.Matching(kBanner).size() == 2; }));
        // The script has seen an event: the worker is past its reload and
        // back in its wait. Until the reload the intake takes no event, so
        // the event is sent again until one is seen.
        auto *processor = dynamic_cast<vdPluginProcessor *>(plugin.get());
        ASSERT_NE(processor, nullptr);
        ASSERT_TRUE(lpptest::WaitFor([&] {
            if (!log.Matching("lua: agent 12").empty()) return true;
            processor->DispatchProcessorEvent(vdPluginProcessor::Event::UPDATE_INIT);
            return false;
        })) << log.Text();
        EXPECT_FALSE(plugin->HasEnded()) << log.Text();
        plugin->Terminate();
        EXPECT_TRUE(DestroyedPromptly(std::move(plugin)));
    }
}
