// Reading the configuration and deciding whether to rebuild.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "runtime-fixture.hpp"

namespace lpptest {
namespace {

class ReloadTest : public RuntimeTest {
protected:
    std::string ConfigError(const std::string &detail)
    {
        return "lua-test: error loading configuration: " + conf_path + ": " + detail;
    }

    void Queue(std::uint16_t event)
    {
        plugin->Queue().Push(lppEvent(event));
    }

    // Marks the current state, to tell it from a rebuilt one.
    void MarkState()
    {
        lppProtectedCall(runtime.State(), 0, 0, [](lua_State *L) -> int {
            lua_pushliteral(L, "same state");
            lua_setglobal(L, "Mark");
            return 0;
        });
    }

    // The failure of a first reload of another plugin whose configuration
    // file is conf.
    std::string ReloadFailureOf(const std::string &conf)
    {
        lppPlugin other(kTag, std::map<std::string, std::string>{{"conf_filename", conf}});
        try {
            other.Reload();
        } catch (const std::exception &e) {
            return e.what();
        }
        return "no failure";
    }

    std::string NoChange(const std::string &path)
    {
        return "lua-test: " + path + ": not reloading, no change.\n";
    }
};

TEST_F(ReloadTest, FirstReloadBuildsAndLogs)
{
    ASSERT_TRUE(runtime.ScriptDigest().empty());
    Load(kHandler);
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
    EXPECT_EQ(runtime.ScriptPath(), dir.Path() + "/script.lua");
    EXPECT_EQ(runtime.ScriptDigest().size(), 20u);
    EXPECT_EQ(log.Matching("Loading configuration"),
        std::vector<std::string>{"lua-test: Loading configuration: " + conf_path + "\n"});
}

TEST_F(ReloadTest, ConfigurationThatCannotBeOpenedReadsAsMissing)
{
    const std::string missing = ConfigError(std::strerror(ENOENT));
    EXPECT_EQ(ReloadFailure(), missing);

    // A symbolic link to itself exists but never opens.
    std::filesystem::create_symlink(conf_path, conf_path);
    EXPECT_EQ(ReloadFailure(), missing);
    std::filesystem::remove(conf_path);

    // A named pipe without a writer, a socket and a device are neither
    // waited for nor read.
    for (const std::string &special : {dir.Fifo("pipe.json"), dir.Socket("socket"), std::string("/dev/null")}) {
        PipeWatchdog watchdog(special);
        EXPECT_EQ(ReloadFailureOf(special), "lua-test: error loading configuration: " + special + ": " + std::strerror(ENOENT));
        EXPECT_FALSE(watchdog.Stop()) << "blocked opening " << special;
    }

    if (geteuid() != 0) {
        WriteScript(kHandler);
        std::filesystem::permissions(conf_path, std::filesystem::perms::none);
        EXPECT_EQ(ReloadFailure(), missing);
    }
    EXPECT_TRUE(runtime.ScriptDigest().empty());
}

TEST_F(ReloadTest, CommentsAreSkipped)
{
    std::string script = dir.Write("script.lua", kHandler);
    dir.Write("plugin.json", "// the plugin's settings\n/* block\n comment */ {\n"
                             "  // the script\n  \"script\": /* inside */ \"" +
                                 script + "\" // trailing\n} /* after */\n// end\n");
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
}

TEST_F(ReloadTest, MalformedConfigurations)
{
    const std::string script = dir.Write("script.lua", kHandler);
    const std::string wrong = ConfigError("script not found or wrong type.");
    for (const char *text : {"[{\"script\": \"x\"}]", "{\"script\": 42}", "{\"Script\": \"x\"}",
             "\"x\"", "{}"}) {
        dir.Write("plugin.json", text);
        EXPECT_EQ(ReloadFailure(), wrong) << text;
    }

    for (const char *text : {"{\"script\": ", "{} {}", "{\"script\": 'x'}", ""}) {
        dir.Write("plugin.json", text);
        std::string message = ReloadFailure();
        EXPECT_EQ(message.rfind(ConfigError("JSON exception: [json.exception.parse_error."), 0), 0u)
            << text << ": " << message;
    }
    EXPECT_TRUE(runtime.ScriptDigest().empty());
    EXPECT_EQ(runtime.HandlerMask(), 0);

    // A directory opens but cannot be read: not a JSON error, the system's.
    EXPECT_EQ(ReloadFailureOf(dir.Path()), "lua-test: error loading configuration: " + dir.Path() +
            ": error reading the file: " + std::strerror(EISDIR));
}

TEST_F(ReloadTest, VariablesAreExpandedAndUnhashableScriptFails)
{
    global.Get().conf_vars["scripts"] = dir.Path();
    dir.Write("script.lua", kHandler);
    WriteConfig("${scripts}/script.lua");
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(runtime.ScriptPath(), dir.Path() + "/script.lua");
    MarkState();
    Queue(12);

    WriteConfig("${scripts}/gone.lua");
    EXPECT_EQ(ReloadFailure(), "lua-test: error hashing script: " + dir.Path() + "/gone.lua");
    // A named pipe as the script is refused without waiting for a writer.
    const std::string pipe = dir.Fifo("pipe.lua");
    WriteConfig(pipe);
    PipeWatchdog watchdog(pipe);
    EXPECT_EQ(ReloadFailure(), "lua-test: error hashing script: " + pipe);
    EXPECT_FALSE(watchdog.Stop()) << "blocked opening " << pipe;
    EXPECT_EQ(runtime.ScriptPath(), dir.Path() + "/script.lua");
    EXPECT_EQ(Global("Mark"), "same state");
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
    EXPECT_EQ(plugin->Queue().Records(), 1u);
}

TEST_F(ReloadTest, MissingGlobalConfigurationFailsBeforeHashing)
{
    WriteScript(kHandler);
    vdGlobalConfig::Destroy();
    EXPECT_EQ(ReloadFailure(), "static vdGlobalConfig &vdGlobalConfig::GetInstance(): instance not found");
    EXPECT_TRUE(runtime.ScriptDigest().empty());
    vdGlobalConfig::Create();
}

TEST_F(ReloadTest, UnchangedContentDoesNotRebuild)
{
    const std::string first = WriteScript(kHandler);
    ASSERT_NO_THROW(plugin->Reload());
    const auto digest = runtime.ScriptDigest();
    MarkState();
    Queue(12);
    Queue(13);

    // The same file again, then the same bytes written anew.
    ASSERT_NO_THROW(plugin->Reload());
    dir.Write("script.lua", kHandler);
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(log.Matching("not reloading"), (std::vector<std::string>{NoChange(first), NoChange(first)}));

    // The same bytes under another path: the old path stays the one quoted.
    const std::string second = WriteScript(kHandler, "copy.lua");
    log.Clear();
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(log.Matching("not reloading"), std::vector<std::string>{NoChange(second)});
    EXPECT_EQ(runtime.ScriptPath(), first);
    EXPECT_EQ(runtime.ScriptDigest(), digest);

    EXPECT_EQ(Global("Mark"), "same state");
    EXPECT_EQ(plugin->Queue().Records(), 2u);
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
}

TEST_F(ReloadTest, SuccessfulRebuildDiscardsQueuedEvents)
{
    Load(kHandler);
    Queue(12);
    Queue(13);
    // A marker (event 0) is queued, refused and discarded like any record,
    // but counted nowhere: how many a caller's wait takes depends on timing.
    Queue(0);
    plugin->Queue().SetLimit(2);
    Queue(0);
    Queue(14);
    const json before = plugin->Queue().Status();
    EXPECT_EQ(plugin->Queue().Records(), 3u);
    EXPECT_EQ(before["records"], 2);
    EXPECT_EQ(before["flows"], 2);
    EXPECT_EQ(before["flows_max"], 2);
    EXPECT_EQ(before["dropped_records"], 1);
    EXPECT_EQ(before["dropped_flows"], 1);
    Load(std::string(kHandler) + "-- changed\n");
    EXPECT_EQ(plugin->Queue().Records(), 0u);
    EXPECT_EQ(plugin->Queue().Status()["discarded_records"], 2);
    EXPECT_EQ(plugin->Queue().Status()["records"], 0);
}

TEST_F(ReloadTest, FailedBuildIsRememberedUntilTheScriptChanges)
{
    Load(kHandler);
    Queue(12);

    const std::string broken = "function ProcessAgentEvent( end\n";
    std::string message = LoadFailure(broken);
    EXPECT_EQ(message.rfind("lua-test: error loading script: " + runtime.ScriptPath(), 0), 0u);
    const auto digest = runtime.ScriptDigest();
    EXPECT_EQ(plugin->Queue().Records(), 1u);
    MarkState();

    log.Clear();
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(log.Matching("not reloading"), std::vector<std::string>{NoChange(runtime.ScriptPath())});
    EXPECT_EQ(runtime.ScriptDigest(), digest);
    EXPECT_EQ(Global("Mark"), "same state");
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
    EXPECT_EQ(plugin->Queue().Records(), 1u);

    Load("function ProcessAgentEvent() end\n");
    EXPECT_EQ(runtime.HandlerMask(), 0x01);
    EXPECT_EQ(Global("Mark"), "<nil>");
    EXPECT_EQ(plugin->Queue().Records(), 0u);
}

TEST_F(ReloadTest, LimitsAndStatusMembersAreCheckedAtEveryReload)
{
    const std::string script = dir.Write("script.lua", kHandler);
    const std::string integer = "expected a non-negative integer";
    const std::string number = "expected a non-negative number";
    const struct {
        const char *members;
        std::string detail;
    } cases[] = {
        {R"("limits": 5)", "limits: expected an object"},
        {R"("limits": null)", "limits: expected an object"},
        {R"("limits": [1])", "limits: expected an object"},
        {R"("limits": {"instructions": -1})", "limits.instructions: " + integer},
        {R"("limits": {"memory": 1.5})", "limits.memory: " + integer},
        {R"("limits": {"memory": 1e6})", "limits.memory: " + integer},
        {R"("limits": {"queue": "10"})", "limits.queue: " + integer},
        {R"("limits": {"queue": null})", "limits.queue: " + integer},
        {R"("limits": {"queue": true})", "limits.queue: " + integer},
        {R"("limits": {"cpu": 1})", "limits: unknown member cpu"},
        {R"("limits": {"seconds": -0.5})", "limits.seconds: " + number},
        {R"("limits": {"seconds": -1})", "limits.seconds: " + number},
        {R"("limits": {"seconds": "1"})", "limits.seconds: " + number},
        {R"("limits": {"seconds": true})", "limits.seconds: " + number},
        {R"("limits": {"seconds": null})", "limits.seconds: " + number},
        {R"("limits": {"seconds": [1]})", "limits.seconds: " + number},
        {R"("limits": {"seconds": {"s": 1}})", "limits.seconds: " + number},
        {R"("status": 1)", "status: expected true or false"},
        {R"("status": null)", "status: expected true or false"},
        {R"("status": "yes", "limits": 0)", "limits: expected an object"},
    };
    for (const auto &c : cases) {
        dir.Write("plugin.json", "{\"script\": \"" + script + "\", " + c.members + "}");
        EXPECT_EQ(ReloadFailure(), ConfigError(c.detail)) << c.members;
    }
    EXPECT_TRUE(runtime.ScriptDigest().empty());

    // Zero and absent members mean no limit; the largest values are taken.
    dir.Write("plugin.json", "{\"script\": \"" + script +
            R"(", "limits": {"instructions": 0, "memory": 18446744073709551615, "seconds": 1e300}, "status": false})");
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(runtime.HandlerMask(), 0x08);
}

TEST_F(ReloadTest, LimitsTakeEffectBeforeTheScriptIsHashedAndStay)
{
    auto configure = [this](const std::string &script, const json &extra) {
        json conf = extra;
        conf["script"] = script;
        dir.Write("plugin.json", conf.dump());
    };
    auto status = [this] {
        json document = json::object();
        plugin->GetStatus(document);
        return document;
    };
    const json limited = {{"limits", {{"instructions", 100000}, {"queue", 7}}}, {"status", true}};

    // A script that cannot be hashed: the members are in force all the same.
    configure(dir.Path() + "/gone.lua", limited);
    EXPECT_EQ(ReloadFailure(), "lua-test: error hashing script: " + dir.Path() + "/gone.lua");
    EXPECT_EQ(status()[kTag]["limits"],
        (json{{"instructions", 100000}, {"memory", 0}, {"queue", 7}, {"seconds", 0}}));
    EXPECT_EQ(status()[kTag]["script"], "");
    plugin->DisplayStatus(status());
    EXPECT_EQ(log.Matching(": queue: ").size(), 1u) << log.Text();
    EXPECT_EQ(log.Matching("lua-test: queue: 0 records (0 flows, at most 0), dropped 0 records (0 flows); "
                           "handlers: 0 calls, 0 errors; Lua memory: ").size(), 1u) << log.Text();

    // A new script's top level already runs under them.
    const std::string endless = dir.Write("script.lua", std::string(kHandler) + "while true do end\n");
    configure(endless, limited);
    std::string message = ReloadFailure();
    EXPECT_EQ(message.rfind(endless + ": initialization: Runtime Error: ", 0), 0u) << message;
    EXPECT_NE(message.find("instruction limit exceeded"), std::string::npos) << message;
    EXPECT_EQ(status()[kTag]["script"], endless);

    // The time limit too (a script of new content: the one that failed is
    // not built again).
    const std::string timed = dir.Write("timed.lua", std::string(kHandler) + "while true do end -- timed\n");
    configure(timed, {{"limits", {{"seconds", 0.2}}}, {"status", true}});
    message = ReloadFailure();
    EXPECT_EQ(status()[kTag]["limits"]["seconds"], 0.2);
    EXPECT_EQ(message.rfind(timed + ": initialization: Runtime Error: ", 0), 0u) << message;
    EXPECT_NE(message.find("time limit exceeded"), std::string::npos) << message;

    // Without the members, nothing is limited and nothing is reported.
    dir.Write("script.lua", std::string(kHandler) + "for i = 1, 300000 do end\n");
    configure(endless, json::object());
    ASSERT_NO_THROW(plugin->Reload());
    EXPECT_EQ(status(), json::object());
}

}  // namespace
}  // namespace lpptest
