// The flow-table fixture: a runtime without a script, flows of each kind,
// and the canonical text of Lua values.
#include "flowtable-fixture.hpp"

#include <cstring>

namespace lpptest {

namespace {

const char *const kCanonScript = R"lua(
local function scalar(v)
  if type(v) == "string" then return string.format("%q", v) end
  if math.type(v) == "float" then
    local s = string.format("%.17g", v)
    if not s:find("[%.eEni]") then s = s .. ".0" end
    return s
  end
  return tostring(v)
end

local function key(k)
  if type(k) == "string" and k:match("^[%a_][%w_]*$") then return k end
  return "[" .. scalar(k) .. "]"
end

local function sorted_keys(t)
  local keys = {}
  for k in pairs(t) do keys[#keys + 1] = k end
  table.sort(keys, function(a, b)
    if type(a) ~= type(b) then return type(a) < type(b) end
    return a < b
  end)
  return keys
end

local function value(v, seen, path)
  if type(v) ~= "table" then return scalar(v) end
  if seen[v] then return "@" .. seen[v] end
  seen[v] = path
  assert(getmetatable(v) == nil, "metatable at " .. path)
  local parts = {}
  for _, k in ipairs(sorted_keys(v)) do
    parts[#parts + 1] = key(k) .. "=" .. value(v[k], seen, path .. "." .. tostring(k))
  end
  return "{" .. table.concat(parts, ",") .. "}"
end

function canon(t)
  local seen = {[t] = "."}
  local lines = {}
  for _, k in ipairs(sorted_keys(t)) do
    lines[#lines + 1] = key(k) .. " = " .. value(t[k], seen, tostring(k)) .. "\n"
  end
  return table.concat(lines)
end

function canon_value(v)
  return value(v, {}, "")
end
)lua";

// Copies the string on top of the stack; no Lua call follows while the
// destination may allocate.
void TakeString(lua_State *L, std::string &out)
{
    std::size_t length = 0;
    const char *text = lua_tolstring(L, -1, &length);
    out.assign(text ? text : "(not a string)", text ? length : 14);
}

}  // namespace

std::string Join(const Entries &entries)
{
    std::string text;
    for (const auto &[key, value] : entries) text += key + " = " + value + "\n";
    return text;
}

FlowTableTest::FlowTableTest()
{
    lppProtectedCall(L(), 0, 0, [](lua_State *S) -> int {
        luaL_openlibs(S);
        return 0;
    });
    Run(kCanonScript);
}

void FlowTableTest::Run(const char *chunk)
{
    lppStackGuard guard(L());
    lppProtectedCall(L(), 0, 0, [chunk](lua_State *S) -> int {
        if (luaL_loadbuffer(S, chunk, std::strlen(chunk), "=test") != LUA_OK) lua_error(S);
        lua_call(S, 0, 0);
        return 0;
    });
}

std::string FlowTableTest::Call(const char *name, const lppLuaRef &ref)
{
    std::string result;
    lppStackGuard guard(L());
    lppProtectedCall(L(), 0, 0, [name, &ref, &result](lua_State *S) -> int {
        lua_getglobal(S, name);
        lua_rawgeti(S, LUA_REGISTRYINDEX, ref.Get());
        lua_call(S, 1, 1);
        luaL_tolstring(S, -1, nullptr);
        TakeString(S, result);
        return 0;
    });
    return result;
}

std::size_t FlowTableTest::RegistryTables() const
{
    // Traversal allocates nothing and the keys are never modified: no error.
    std::size_t count = 0;
    lua_pushnil(L());
    while (lua_next(L(), LUA_REGISTRYINDEX) != 0) {
        if (lua_type(L(), -1) == LUA_TTABLE) count++;
        lua_pop(L(), 1);
    }
    return count;
}

std::string FlowTableTest::Canon(const lppLuaRef &ref) { return Call("canon", ref); }
std::string FlowTableTest::CanonValue(const lppLuaRef &ref) { return Call("canon_value", ref); }

std::string FlowTableTest::FlowCanon(const std::shared_ptr<vdFlow> &flow, bool counters_only,
    const json &doc)
{
    auto shared = flow;
    lppEvent::Entry entry(shared, doc);
    lppLuaRef table = runtime.CreateFlowTable(entry, counters_only);
    EXPECT_TRUE(table.Valid());
    return Canon(table);
}

std::shared_ptr<vdFlow> PlainTcpFlow()
{
    auto flow = MakeFlow();
    flow->iface = std::make_shared<vdInterface>("enp1s0", 1);
    flow->digest_lower = 0x0123456789abcdefULL;
    flow->digest_mdata = {0x1111111111111111ULL, 0xfedcba9876543210ULL};
    flow->ip_version = 4;
    flow->ip_dscp = 10;
    flow->ip_protocol = 6;
    flow->vlan_id = 100;
    flow->first_seen_at = 1700000000000ULL;
    flow->last_seen_at = 1700000005000ULL;
    flow->lower_map = vdFlow::LOWER_LOCAL;
    flow->other_type = vdFlow::OTHER_REMOTE;
    flow->origin = vdFlow::ORIGIN_LOWER;
    flow->lower_mac.SetFromString("02:00:00:00:00:01");
    flow->upper_mac.SetFromString("02:00:00:00:00:02");
    flow->lower_addr.SetFromString("192.168.1.10");
    flow->lower_addr.SetPort(51514);
    flow->upper_addr.SetFromString("93.184.216.34");
    flow->upper_addr.SetPort(443);
    flow->flags.detection_init = true;
    flow->flags.detection_complete = true;
    flow->tcp.fin_acks = 1;
    flow->tcp.last_seq = 123456789;

    auto &s = flow->stats;
    s.lower_bytes = 1000;
    s.upper_bytes = 20000;
    s.total_bytes = 21000;
    s.lower_total_bytes = 5000;
    s.upper_total_bytes = 60000;
    s.lower_packets = 10;
    s.upper_packets = 20;
    s.total_packets = 30;
    s.lower_total_packets = 50;
    s.upper_total_packets = 70;
    s.detection_packets = 8;
    s.lower_rate = 1.5f;
    s.upper_rate = 0.25f;
    s.tcp_seq_errors = 1;
    s.tcp_resets = 2;
    s.tcp_retrans = 3;

    flow->detected_protocol = 7;
    flow->detected_protocol_name = "HTTP";
    flow->category = {1, 2, 3, 4, 5, 6};
    return flow;
}

Entries PlainTcpEntries()
{
    return {
        {"category", "{application=1,domain=3,local_network=4,lower_net=4,other_network=5,overlay=6,"
                     "protocol=2,upper_net=5}"},
        {"detected_application", "0"},
        {"detected_application_name", "\"Unknown\""},
        {"detected_protocol", "7"},
        {"detected_protocol_name", "\"HTTP\""},
        {"digest", "\"fedcba9876543210\""},
        {"digest_lower", "\"0123456789abcdef\""},
        {"digest_mdata", "\"fedcba9876543210\""},
        {"digest_prev", "{[1]=\"1111111111111111\",[2]=\"fedcba9876543210\"}"},
        {"dns_host_name", "\"\""},
        {"first_seen_at", "1700000000000"},
        {"flags", "{detection_complete=true,detection_guessed=false,detection_init=true,"
                  "detection_updated=false,dhc_hit=false,expired=false,expiring=false,fhc_hit=false,"
                  "soft_dissector=false}"},
        {"host_server_name", "\"\""},
        {"iface", "{name=\"enp1s0\",role=1}"},
        {"ip_dscp", "10"},
        {"ip_protocol", "6"},
        {"ip_version", "4"},
        {"last_seen_at", "1700000005000"},
        {"local_ip", "\"192.168.1.10\""},
        {"local_mac", "\"02:00:00:00:00:01\""},
        {"local_origin", "true"},
        {"local_port", "51514"},
        {"lower_addr", "\"192.168.1.10\""},
        {"lower_mac", "\"02:00:00:00:00:01\""},
        {"lower_map", "1"},
        {"lower_port", "51514"},
        {"origin", "1"},
        {"other_ip", "\"93.184.216.34\""},
        {"other_mac", "\"02:00:00:00:00:02\""},
        {"other_port", "443"},
        {"other_type", "5"},
        {"other_type_name", "\"remote\""},
        {"other_type_str", "\"remote\""},
        {"privacy_mask", "0"},
        {"stats", "{detection_packets=8,local_bytes=1000,local_packets=10,local_rate=1.5,"
                  "lower_bytes=1000,lower_packets=10,lower_rate=1.5,other_bytes=20000,other_packets=20,"
                  "other_rate=0.25,tcp={resets=2,retrans=3,seq_errors=1},tcp_resets=2,tcp_retrans=3,"
                  "tcp_seq_errors=1,total_bytes=21000,total_local_bytes=5000,total_local_packets=50,"
                  "total_other_bytes=60000,total_other_packets=70,total_packets=30,upper_bytes=20000,"
                  "upper_packets=20,upper_rate=0.25}"},
        {"tcp", "{fin_acks=1,last_seq=123456789}"},
        {"tunnel_type", "0"},
        {"upper_addr", "\"93.184.216.34\""},
        {"upper_mac", "\"02:00:00:00:00:02\""},
        {"upper_port", "443"},
        {"vlan_id", "100"},
    };
}

}  // namespace lpptest
