// What a script author counts on: Debian's Lua modules load in the plugin;
// the reference, docs/scripting.md, lists every key of the flow tables with
// its type and every LPP_* global with its value, no more and no less; and
// its recipes run.
#include <sys/stat.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "vx-e2e-support.hpp"

namespace {

using Scripting = vxReplayTest;

TEST_F(Scripting, DebianLuaModulesLoadWhateverTheDaemonLoadedThePluginWith)
{
    // vessix-replay loads the plugin RTLD_LOCAL, as a daemon may; the C
    // modules are not linked against the Lua library.
    auto run = RunScript(R"(
local cjson = require "cjson"
local zlib = require "zlib"
function ProcessAgentEvent(event)
    local text = cjson.encode({ event = event })
    local packed = zlib.deflate()(text, "finish")
    lpp.print(text .. " " .. zlib.inflate()(packed) .. " " .. packed:byte(1))
end
)",
        "{\"op\":\"agent\",\"event\":\"update_init\"}\n");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(LinesWith(run.out, "lua: {"), std::vector<std::string>{"\"event\":12} {\"event\":12} 120"}) << run.out;
}

// Prints "global NAME TYPE VALUE" for each LPP_* global, and for a full and a
// counters-only flow table "FORM PATH TYPE" for every key, sub-tables walked
// (a table met twice, risk and risks, only once). TYPE is a Lua type, with
// math.type for numbers, or "array of T" for a table whose keys are 1..n.
const char *const reference_dump = R"(
local function Kind(value)
    if type(value) == "number" then return math.type(value) end
    return type(value)
end

local function ArrayKind(value)
    local count = 0
    for _ in pairs(value) do count = count + 1 end
    if count == 0 then return nil end
    for i = 1, count do if value[i] == nil then return nil end end
    local kind = Kind(value[1])
    for i = 2, count do if Kind(value[i]) ~= kind then return "array of mixed" end end
    return "array of " .. kind
end

local function Dump(form, path, value, seen)
    local keys = {}
    for k in pairs(value) do keys[#keys + 1] = k end
    table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
    for _, k in ipairs(keys) do
        local v, p = value[k], path .. "." .. tostring(k)
        local kind = Kind(v)
        if kind == "table" then kind = ArrayKind(v) or "table" end
        lpp.print(form .. " " .. p .. " " .. kind)
        if kind == "table" and not seen[v] then
            seen[v] = true
            Dump(form, p, v, seen)
        end
    end
end

local names = {}
for name in pairs(_G) do
    if type(name) == "string" and name:match("^LPP_") then names[#names + 1] = name end
end
table.sort(names)
for _, name in ipairs(names) do
    lpp.print("global " .. name .. " " .. Kind(_G[name]) .. " " .. tostring(_G[name]))
end

function ProcessFlowMap(flows) Dump("full", "flow", flows[1], {}) end
function ProcessFlowStats(flows) Dump("counters", "flow", flows[1], {}) end
)";

struct DocKey {
    std::string type;
    std::string present;
};

// The reference: flow-table sections (a heading naming `flow` or
// `flow.PATH`, then one Markdown table whose rows begin with `key` | type |
// present), and the LPP_* cells of any table (`NAME` | value, or | string
// for the paths), a row possibly holding several such pairs side by side.
struct Reference {
    std::map<std::string, std::map<std::string, DocKey>> sections;
    std::map<std::string, std::string> constants;
    std::set<std::string> paths;
    std::vector<std::string> duplicates;
};

std::vector<std::string> Cells(const std::string &row)
{
    std::vector<std::string> cells;
    std::istringstream input(row.substr(1));
    std::string cell;
    while (std::getline(input, cell, '|')) {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

Reference ParseReference(const std::string &text)
{
    static const std::regex section_name("`(flow(\\.[a-z_]+)*)`");
    static const std::regex key_cell("`([a-z_0-9]+)`");
    static const std::regex constant_cell("`(LPP_[A-Z0-9_]+)`");
    static const std::regex integer("-?[0-9]+");
    Reference doc;
    std::string section;
    std::istringstream input(text);
    std::string line;
    bool code = false;
    while (std::getline(input, line)) {
        if (line.rfind("```", 0) == 0) code = !code;
        if (code) continue;
        std::smatch match;
        if (line.rfind('#', 0) == 0) {
            section = std::regex_search(line, match, section_name) ? match[1].str() : "";
            continue;
        }
        if (line.rfind('|', 0) != 0) continue;
        const auto cells = Cells(line);
        if (cells.size() < 2) continue;
        if (std::regex_match(cells[0], match, constant_cell)) {
            // Constant tables may set name-value pairs side by side.
            for (std::size_t i = 0; i + 1 < cells.size(); i += 2) {
                if (!std::regex_match(cells[i], match, constant_cell)) continue;
                const std::string name = match[1];
                if (cells[i + 1] == "string")
                    doc.paths.insert(name);
                else if (std::regex_match(cells[i + 1], integer) && !doc.constants.emplace(name, cells[i + 1]).second)
                    doc.duplicates.push_back(name);
            }
        } else if (!section.empty() && std::regex_match(cells[0], match, key_cell)) {
            DocKey key{cells[1], cells.size() > 2 ? cells[2] : ""};
            if (!doc.sections[section].emplace(match[1].str(), key).second)
                doc.duplicates.push_back(section + "." + match[1].str());
        }
    }
    return doc;
}

TEST_F(Scripting, ReferenceDocumentsEveryFlowTableKeyAndEveryConstant)
{
    auto run = RunScript(reference_dump,
        "{\"op\":\"update\",\"id\":\"all\",\"set\":" + vxEveryFieldSet() + "}\n{\"op\":\"flow_map\"}\n");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const Reference doc = ParseReference(ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/docs/scripting.md"));
    EXPECT_TRUE(doc.duplicates.empty()) << "documented twice: " << ::testing::PrintToString(doc.duplicates);

    // form -> path -> type, as the plugin built them.
    std::map<std::string, std::map<std::string, std::string>> dumped;
    std::map<std::string, std::string> constants;
    std::set<std::string> paths;
    for (const auto &line : LinesWith(run.out, "lua: ")) {
        std::istringstream fields(line);
        std::string form, name, type, rest;
        fields >> form >> name >> type;
        std::getline(fields, rest);
        if (form == "global" && type == "integer")
            constants[name] = rest.substr(1);
        else if (form == "global" && type == "string")
            paths.insert(name);
        else if (form == "global")
            ADD_FAILURE() << name << " is a " << type;
        else if (form == "full" || form == "counters")
            dumped[form][name] = type + rest;
    }
    ASSERT_FALSE(dumped["full"].empty()) << run.out;
    ASSERT_FALSE(dumped["counters"].empty()) << run.out;

    for (const auto &[form, keys] : dumped) {
        for (const auto &[path, type] : keys) {
            const auto dot = path.rfind('.');
            const auto section = doc.sections.find(path.substr(0, dot));
            if (section == doc.sections.end()) {
                ADD_FAILURE() << form << " table: " << path << " (" << type << ") is in no section of the reference";
                continue;
            }
            const auto key = section->second.find(path.substr(dot + 1));
            if (key == section->second.end())
                ADD_FAILURE() << form << " table: " << path << " (" << type << ") is not documented";
            else
                EXPECT_EQ(key->second.type, type) << form << " table: " << path;
        }
    }
    std::set<std::string> counters_keys, documented_counters_keys;
    for (const auto &[section, keys] : doc.sections) {
        for (const auto &[key, entry] : keys) {
            EXPECT_EQ(dumped["full"].count(section + "." + key), 1u)
                << section << "." << key << " is documented but not in a full flow table with every sub-table";
            if (section == "flow" && entry.present.rfind("both forms", 0) == 0) documented_counters_keys.insert(key);
        }
    }
    for (const auto &[path, type] : dumped["counters"])
        if (path.find('.', 5) == std::string::npos) counters_keys.insert(path.substr(5));
    EXPECT_EQ(counters_keys, documented_counters_keys) << "keys of the counters-only table (present: both forms)";

    EXPECT_EQ(constants.size(), 65u);
    for (const auto &[name, value] : constants) {
        const auto documented = doc.constants.find(name);
        if (documented == doc.constants.end())
            ADD_FAILURE() << name << " (" << value << ") is not documented";
        else
            EXPECT_EQ(documented->second, value) << name;
    }
    for (const auto &[name, value] : doc.constants)
        EXPECT_EQ(constants.count(name), 1u) << name << " is documented but not a global of the state";
    EXPECT_EQ(paths.size(), 4u);
    EXPECT_EQ(doc.paths, paths);
}

// The ```lua blocks of a section of the reference (Recipes unless another
// is named), each a whole script.
std::vector<std::string> Recipes(const std::string &text, const std::string &section = "## Recipes")
{
    std::vector<std::string> recipes;
    std::istringstream input(text);
    std::string line;
    bool in_recipes = false, in_block = false;
    while (std::getline(input, line)) {
        if (line.rfind("## ", 0) == 0) in_recipes = line == section;
        if (!in_recipes) continue;
        if (line == "```lua") {
            in_block = true;
            recipes.emplace_back();
        } else if (line == "```") {
            in_block = false;
        } else if (in_block) {
            recipes.back() += line + "\n";
        }
    }
    return recipes;
}

TEST_F(Scripting, RecipesOfTheReferenceRunWithoutErrorAndDoWhatTheySay)
{
    const auto recipes = Recipes(ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/docs/scripting.md"));
    ASSERT_EQ(recipes.size(), 4u);
    const std::string recording = ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/examples/app-bytes.jsonl");
    const std::string persistent = Path("persistent");
    ASSERT_EQ(mkdir(persistent.c_str(), 0700), 0);

    // What each recipe leaves on the recording of two update cycles.
    auto bytes = RunScript(recipes[0], recording, {"-d"});
    EXPECT_EQ(LinesWith(bytes.out, "lua: YouTube ").size(), 2u) << bytes.out;
    // The short flow, in no flow map, is counted at its expiry.
    EXPECT_EQ(LinesWith(bytes.out, "lua: NTP "), std::vector<std::string>{"                      180 bytes"})
        << bytes.out;
    auto names = RunScript(recipes[1], recording, {"-d"});
    EXPECT_EQ(LinesWith(names.out, "lua: rr3.googlevideo.com 192.168.1.20 -> 142.250.180.14").size(), 1u)
        << names.out;
    auto sink = RunScript(recipes[2], recording, {"-d"});
    EXPECT_NE(sink.sinks.find(R"("payload":"{\"server\":\"rr3.googlevideo.com\",\"protocol\":\"TLS\",)"),
        std::string::npos)
        << sink.sinks;
    auto gzip = RunScript(recipes[3], recording, {"-d", "--path-persistent", persistent});
    const std::string packed = ReadFileText(persistent + "/expired-1.txt.gz");
    EXPECT_EQ(packed.substr(0, 2), "\x1f\x8b") << "a gzip file";

    for (const auto *run : {&bytes, &names, &sink, &gzip}) {
        EXPECT_EQ(run->status, 0) << run->out << run->err;
        EXPECT_EQ(run->out.find(": error: "), std::string::npos) << run->out;
    }
}

// Scripts that turn the debug library on the state of C code. Each attack is
// refused with a Lua error in the handler, naming the function and why; the
// worker handles the next event. Without the refusals, the rows marked so
// crash the process (a use-after-free or a wild pointer, as AddressSanitizer
// shows).
struct DebugAttack {
    const char *name;
    const char *attack;   // Lua statements in the handler of the first event
    const char *refusal;  // in the handler's error line
};

// free_boxes(co, level) calls the finaliser of every userdata among the
// slots of the frame at level, as its caller counts levels, of thread co or
// of the running thread (co nil): the box of a string buffer frees the
// buffer its C function is writing into.
const char *const kDebugAttackPrelude = R"(
function free_boxes(co, level)
  local function slot(n)
    if co then return debug.getlocal(co, level, n) end
    return debug.getlocal(level + 2, n)
  end
  local n = 1
  while true do
    local name, value = slot(n)
    if not name then break end
    local mt = type(value) == "userdata" and getmetatable(value)
    if mt and mt.__gc then mt.__gc(value) end
    n = n + 1
  end
end
function ProcessAgentEvent(event)
  if event == LPP_EVENT_UPDATE_INIT then
    attack()
    lpp.print("attack survived")
  else
    lpp.print("next event handled")
  end
end
function attack()
)";

class DebugAttacks : public vxReplayTest {
protected:
    void ExpectRefusedThenNextHandled(const DebugAttack &row)
    {
        SCOPED_TRACE(row.name);
        const std::string script = std::string(kDebugAttackPrelude) + row.attack + "\nend\n";
        auto run = RunScript(script,
            "{\"op\":\"agent\",\"event\":\"update_init\"}\n{\"op\":\"agent\",\"event\":\"update_complete\"}\n",
            {"-d"});
        ASSERT_EQ(run.status, 0) << run.out << run.err;
        const std::string all = run.out + run.err;
        const auto errors = LinesWith(all, "lua: ProcessAgentEvent: error: ");
        ASSERT_EQ(errors.size(), 1u) << all;
        EXPECT_NE(errors[0].find(row.refusal), std::string::npos) << errors[0];
        EXPECT_TRUE(LinesWith(all, "lua: attack survived").empty()) << all;
        EXPECT_EQ(LinesWith(all, "lua: next event handled").size(), 1u) << all;
    }
};

TEST_F(DebugAttacks, UpvaluesOfCFunctionsAreRefused)
{
    const DebugAttack rows[] = {
        // Crashes without the refusal: the iterator takes 42 for its state.
        {"gmatch state replaced",
            "local it = string.gmatch('abc', '.') debug.setupvalue(it, 3, 42) it()",
            "debug.setupvalue: upvalues of C functions are not accessible"},
        {"plugin reference read", "debug.getupvalue(lpp.print, 1)",
            "debug.getupvalue: upvalues of C functions are not accessible"},
        {"file of a lines iterator", "debug.upvalueid(io.lines('/dev/null'), 1)",
            "debug.upvalueid: upvalues of C functions are not accessible"},
        {"joined into a C function", "local x debug.upvaluejoin(function() return x end, 1, lpp.print, 1)",
            "debug.upvaluejoin: upvalues of C functions are not accessible"},
        {"a light C function", "debug.setupvalue(print, 1, 42)",
            "debug.setupvalue: upvalues of C functions are not accessible"},
        {"the library as require gives it", "require('debug').setupvalue(string.gmatch('a', '.'), 1, 42)",
            "debug.setupvalue: upvalues of C functions are not accessible"},
    };
    for (const DebugAttack &row : rows) ExpectRefusedThenNextHandled(row);
}

TEST_F(DebugAttacks, SlotsOfCFramesAndOfTheMachineAreRefused)
{
    const DebugAttack rows[] = {
        // Crashes without the refusal: gsub writes into the freed buffer.
        {"gsub replacement function",
            "string.gsub(string.rep('x', 3000), '.', function(c) free_boxes(nil, 2) return c .. c end)",
            "debug.getlocal: locals of C functions are not accessible"},
        // Crashes without the refusal: table.concat writes into the freed buffer.
        {"metamethod under table.concat",
            "local t = setmetatable({}, {__index = function() free_boxes(nil, 2) return string.rep('y', 600) end})\n"
            "table.concat(t, ',', 1, 10)",
            "debug.getlocal: locals of C functions are not accessible"},
        {"table.sort comparator",
            "table.sort({3, 2, 1}, function(a, b) debug.setlocal(2, 1, 42) return a < b end)",
            "debug.setlocal: locals of C functions are not accessible"},
        {"finaliser run by the collector",
            "local refusal\n"
            "setmetatable({}, {__gc = function() refusal = select(2, pcall(free_boxes, nil, 3)) end})\n"
            "collectgarbage() error(refusal, 0)",
            "debug.getlocal: locals of C functions are not accessible"},
        // Crashes without the refusal: the main thread's gsub, reached from a coroutine.
        {"other thread: the main thread from a coroutine",
            "local main = coroutine.running()\n"
            "string.gsub(string.rep('x', 3000), '.', function(c)\n"
            "  coroutine.wrap(function() free_boxes(main, 2) end)() return c .. c end)",
            "debug.getlocal: locals of C functions are not accessible"},
        {"other thread: a coroutine suspended in yield",
            "local co = coroutine.create(function() pcall(coroutine.yield) end)\n"
            "coroutine.resume(co) debug.setlocal(co, 0, 1, 42)",
            "debug.setlocal: locals of C functions are not accessible"},
        {"the debug function's own frame", "debug.getlocal(0, 1)",
            "debug.getlocal: locals of C functions are not accessible"},
        // Crashes without the refusal: the table a constructor fills becomes a string.
        {"a temporary of a Lua frame",
            "local function g()\n"
            "  for n = 1, 20 do if debug.getlocal(2, n) == '(temporary)' then debug.setlocal(2, n, 's') end end\n"
            "end\n"
            "local t = {g(), 2, 3}",
            "debug.setlocal: temporaries of the virtual machine are not accessible"},
    };
    for (const DebugAttack &row : rows) ExpectRefusedThenNextHandled(row);
}

TEST_F(DebugAttacks, TheRegistryAndTheTypesOfUserdataAreRefused)
{
    const DebugAttack rows[] = {
        // Crashes without the refusal: io.write takes the string for a file.
        {"default output replaced", "debug.getregistry()._IO_output = 'x' io.write('y')",
            "debug.getregistry: the registry is not accessible"},
        // Crashes without the refusal: io.close takes a light userdata for a file.
        {"light userdata passed off as a file",
            "local x local id = debug.upvalueid(function() return x end, 1)\n"
            "debug.setmetatable(id, getmetatable(io.stdout)) io.close(id)",
            "debug.setmetatable: metatables of userdata are not accessible"},
        {"a file's metatable replaced", "debug.setmetatable(io.stdout, {})",
            "debug.setmetatable: metatables of userdata are not accessible"},
        {"a file's user value set", "debug.setuservalue(io.stdout, {})",
            "debug.setuservalue: user values of userdata are not accessible"},
    };
    for (const DebugAttack &row : rows) ExpectRefusedThenNextHandled(row);
}

// What the debug library keeps, with Lua's own results and argument errors
// (those of the stock library, checked against it): locals of Lua frames, of
// this thread and of a suspended coroutine, varargs, parameter names,
// upvalues of Lua functions, metatables and user values, tracebacks and
// getinfo, which tells C frames apart.
TEST_F(DebugAttacks, EverythingElseWorksAsTheManualSays)
{
    auto run = RunScript(R"(
local function show(...)
  local t = table.pack(...)
  for i = 1, t.n do t[i] = tostring(t[i]) end
  lpp.print("kept " .. table.concat(t, " "))
end
function ProcessAgentEvent(event)
  local a = 10
  show(debug.getlocal(1, 2))
  show(debug.setlocal(1, 2, 11), a)
  show(debug.getlocal(1, 99))
  local up = 5
  local function f(p, q) return up + p end
  show(debug.getlocal(f, 1), debug.getlocal(f, 3))
  show(debug.getupvalue(f, 1))
  show(debug.setupvalue(f, 1, 6), f(1))
  local other = 100
  local function g() return other end
  show(type(debug.upvalueid(f, 1)), debug.upvalueid(f, 1) == debug.upvalueid(g, 1))
  debug.upvaluejoin(f, 1, g, 1)
  show(f(1), debug.upvalueid(f, 1) == debug.upvalueid(g, 1))
  local co = coroutine.create(function(x) local y = x * 2; coroutine.yield() end)
  coroutine.resume(co, 4)
  show(debug.getlocal(co, 1, 2))
  show(debug.setlocal(co, 1, 2, 9), select(2, debug.getlocal(co, 1, 2)))
  local function v(...) return debug.getlocal(1, -1) end
  show(v("va"))
  show(pcall(debug.getlocal, 100, 1))
  show(pcall(debug.setlocal, co, 5, 1, 0))
  show(pcall(debug.getlocal, co, 1))
  show(pcall(debug.setupvalue, f, 1))
  show(pcall(debug.upvaluejoin, f, 9, g, 1))
  show(debug.setmetatable(10, nil), getmetatable(setmetatable({}, {__metatable = 1})), debug.getmetatable("").__index == string)
  local t = {}
  show(debug.setmetatable(t, {__index = {k = "mt"}}) == t, t.k)
  show(debug.getuservalue(io.stdout), debug.getuservalue(1))
  show(type(debug.traceback()), debug.getinfo(1, "S").what)
  string.gsub("a", ".", function() show(debug.getinfo(2, "S").what, debug.getinfo(2, "f").func == string.gsub) end)
  show(package.loaded.debug == debug, require("debug") == debug)
end
)",
        "{\"op\":\"agent\",\"event\":\"update_init\"}\n", {"-d"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(LinesWith(run.out + run.err, "lua: ProcessAgentEvent: error: ").empty()) << run.out << run.err;
    const std::vector<std::string> expected = {
        "a 10", "a 11", "nil", "p nil", "up 5", "up 7", "userdata false", "101 true", "y 8", "y 9",
        "(vararg) va",
        "false bad argument #1 to 'debug.getlocal' (level out of range)",
        "false bad argument #2 to 'debug.setlocal' (level out of range)",
        "false bad argument #3 to 'debug.getlocal' (number expected, got no value)",
        "false bad argument #3 to 'debug.setupvalue' (value expected)",
        "false bad argument #2 to 'debug.upvaluejoin' (invalid upvalue index)",
        "10 1 true", "true mt", "nil nil", "string Lua", "C true", "true true"};
    EXPECT_EQ(LinesWith(run.out, "lua: kept "), expected) << run.out;
}

TEST_F(Scripting, TheReloadSectionsDataFileRecipeFollowsTheFileAndAReloadDoesNot)
{
    const auto recipes = Recipes(ReadFileText(std::string(LPP_TEST_SOURCE_DIR) + "/docs/scripting.md"),
        "## Reloads: what is kept, what is dropped");
    ASSERT_EQ(recipes.size(), 1u);
    Write("tls-watch.txt", "a.example\n");
    auto tls = [](const std::string &id) {
        return "{\"op\":\"flow\",\"event\":\"dpi_complete\",\"id\":\"" + id +
            "\",\"set\":{\"host_server_name\":\"" + id + ".example\"}}\n";
    };
    auto watch = [](const std::string &names) {
        return "{\"op\":\"file\",\"path\":\"tls-watch.txt\",\"text\":\"" + names + "\"}\n";
    };
    const std::string cycle = "{\"op\":\"agent\",\"event\":\"update_init\"}\n";
    const std::string reload = "{\"op\":\"reload\"}\n";
    // Taken at the next cycle; a reload of the unchanged script reads
    // nothing again.
    const std::string rec = tls("a") + tls("b") + watch("b.example\\n") + tls("b") + cycle + tls("b") +
        watch("c.example\\n") + reload + tls("c") + cycle + tls("c");
    auto run = RunScript(recipes[0], rec, {"--path-config", dir.Path()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(LinesWith(run.out, "lua: watched: "), (std::vector<std::string>{"a.example", "b.example", "c.example"}))
        << run.out;
    EXPECT_EQ(LinesWith(run.out, "lua: watch list: ").size(), 3u) << run.out;
}

}  // namespace
