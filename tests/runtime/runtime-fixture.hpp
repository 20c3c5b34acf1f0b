// A plugin with a configuration and scripts in a temporary folder, for the
// tests of the runtime build, the script functions and the reload.
#pragma once

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "lpp-plugin.hpp"
#include "lpp-test-support.hpp"

namespace lpptest {

class RuntimeTest : public ::testing::Test {
protected:
    static constexpr const char *kTag = "lua-test";
    // A handler so that a script builds; its top level is what tests use.
    static constexpr const char *kHandler = "function ProcessFlowStats() end\n";

    RuntimeTest()
        : conf_path(dir.Path() + "/plugin.json"),
          plugin(std::make_unique<lppPlugin>(
              kTag, std::map<std::string, std::string>{{"conf_filename", conf_path}}))
    {
    }

    // Writes a configuration naming script_path.
    void WriteConfig(const std::string &script_path)
    {
        dir.Write("plugin.json", json{{"script", script_path}}.dump());
    }

    // Writes script.lua with text and a configuration naming it.
    std::string WriteScript(const std::string &text, const std::string &name = "script.lua")
    {
        std::string path = dir.Write(name, text);
        WriteConfig(path);
        return path;
    }

    // Reloads with text as the script; fails the test on an exception.
    void Load(const std::string &text)
    {
        WriteScript(text);
        try {
            plugin->Reload();
        } catch (const std::exception &e) {
            FAIL() << "reload failed: " << e.what();
        }
    }

    // Reloads with text as the script and returns the failure's message.
    std::string LoadFailure(const std::string &text)
    {
        WriteScript(text);
        return ReloadFailure();
    }

    std::string ReloadFailure()
    {
        try {
            plugin->Reload();
        } catch (const std::exception &e) {
            return e.what();
        }
        ADD_FAILURE() << "reload did not fail";
        return "";
    }

    // The global name of the current state as text ("<type>" for anything
    // but a string or a number), read under a protected call.
    std::string Global(const std::string &name)
    {
        lua_State *L = plugin->Runtime().State();
        std::string value;
        const char *global = name.c_str();
        lppProtectedCall(L, 0, 0, [global, &value](lua_State *state) -> int {
            int type = lua_getglobal(state, global);
            std::size_t length = 0;
            if (type == LUA_TSTRING || type == LUA_TNUMBER) {
                const char *text = lua_tolstring(state, -1, &length);
                value.assign(text, length);
            } else {
                value = std::string("<") + lua_typename(state, type) + ">";
            }
            return 0;
        });
        return value;
    }

    // The integer global name; fails the test for anything else.
    lua_Integer Integer(const std::string &name)
    {
        lua_State *L = plugin->Runtime().State();
        lua_Integer value = 0;
        bool integer = false;
        const char *global = name.c_str();
        lppProtectedCall(L, 0, 0, [global, &value, &integer](lua_State *state) -> int {
            lua_getglobal(state, global);
            value = lua_tointegerx(state, -1, nullptr);
            integer = lua_isinteger(state, -1);
            return 0;
        });
        EXPECT_TRUE(integer) << name << " is not an integer";
        return value;
    }

    GlobalConfigScope global;
    TempDir dir;
    LogCapture log{true};
    std::string conf_path;
    std::unique_ptr<lppPlugin> plugin;
    // The plugin's runtime, which the tests inspect and build directly.
    lppLuaRuntime &runtime = plugin->Runtime();
};

}  // namespace lpptest
