-- Writes the luacheck configuration for scripts of the plugin, from the
-- state the plugin itself builds for a script: every LPP_* global it sets
-- (read-only), the functions of its lpp table, and the handler names it
-- looks up after the top level (globals a script may define). Nothing is
-- listed here, so the configuration follows the plugin. Run by
-- vessix-replay at build time on an empty recording; the output path comes
-- from the environment variable LPP_LUACHECKRC.
local out_path = os.getenv("LPP_LUACHECKRC")
if not out_path then error("LPP_LUACHECKRC: the output path is not set") end

local function sorted(names)
    table.sort(names)
    return names
end

local constants = {}
for name in pairs(_G) do
    if type(name) == "string" and name:match("^LPP_") then constants[#constants + 1] = name end
end
local functions = {}
for name, value in pairs(lpp) do
    if type(value) == "function" then functions[#functions + 1] = name end
end
sorted(constants)
sorted(functions)

local handlers, seen = {}, {}

local function quoted(names, indent)
    local lines = {}
    for _, name in ipairs(names) do lines[#lines + 1] = indent .. string.format("%q", name) .. "," end
    return table.concat(lines, "\n")
end

-- The whole file, rewritten at each handler the plugin asks for: the last
-- write holds them all.
local function write()
    local text = table.concat({
        "-- luacheck configuration for scripts of the Lua processor plugin:",
        "--   luacheck --config PATH script.lua",
        "-- Generated from the plugin's own globals at build time.",
        'std = "lua54"',
        "-- The handlers a script may define.",
        "globals = {",
        quoted(handlers, "    "),
        "}",
        "-- The plugin's constants and its lpp table, which scripts only read.",
        "read_globals = {",
        quoted(constants, "    "),
        "    lpp = {",
        "        fields = {",
        quoted(functions, "            "),
        "        },",
        "    },",
        "}",
        "",
    }, "\n")
    local file = assert(io.open(out_path, "w"))
    assert(file:write(text))
    assert(file:close())
end

-- After the top level, the plugin reads the global of each handler it
-- knows: each missing global read from here on is one of them, and is
-- answered with a function so that the build accepts the script.
setmetatable(_G, {
    __index = function(_, name)
        if type(name) == "string" and not seen[name] then
            seen[name] = true
            handlers[#handlers + 1] = name
            write()
        end
        return function() end
    end,
})
