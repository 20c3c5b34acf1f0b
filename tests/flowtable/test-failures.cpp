// Lua running out of memory at any point while a table is built.
#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "flowtable-fixture.hpp"

namespace lpptest {
namespace {

// Wraps the state's allocator: once armed, lets a number of allocations
// through and fails every one after them until disarmed.
class FailingAllocator {
public:
    explicit FailingAllocator(lua_State *L) : L(L) { original = lua_getallocf(L, &original_ud); }
    ~FailingAllocator() { lua_setallocf(L, original, original_ud); }

    void Install() { lua_setallocf(L, Alloc, this); }
    void Arm(long allowed)
    {
        countdown = allowed;
        failed = false;
    }
    void Disarm() { countdown = -1; }
    bool Failed() const { return failed; }

private:
    static void *Alloc(void *ud, void *ptr, std::size_t osize, std::size_t nsize)
    {
        auto *self = static_cast<FailingAllocator *>(ud);
        bool grows = nsize > 0 && (ptr == nullptr || nsize > osize);
        if (grows && self->countdown >= 0) {
            if (self->countdown == 0) {
                self->failed = true;
                return nullptr;
            }
            self->countdown--;
        }
        return self->original(self->original_ud, ptr, osize, nsize);
    }

    lua_State *L;
    lua_Alloc original;
    void *original_ud = nullptr;
    long countdown = -1;
    bool failed = false;
};

bool LockIsFree(vdFlow &flow)
{
    bool free = false;
    std::thread probe([&] {
        free = flow.lock.try_lock();
        if (free) flow.lock.unlock();
    });
    probe.join();
    return free;
}

std::shared_ptr<vdFlow> RichFlow()
{
    auto flow = PlainTcpFlow();
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    flow->gtp.lower_addr.SetFromString("10.0.0.1");
    flow->gtp.upper_teid = htonl(7);
    flow->master_protocol = 91;
    flow->host_server_name = "example.com";
    flow->tls.server_cn = "example.com";
    flow->tls.fingerprint = {1, 2, 3};
    flow->tls.alpn = {"h2", "http/1.1"};
    flow->tls.alpn_server = {"h2"};
    flow->tls.encrypted_ch_version = 1;
    flow->http.url = "/";
    flow->ssh.client_agent = "c";
    flow->bt_info_hash = {9};
    flow->stun.peer.SetFromString("192.0.2.1");
    flow->risk.risks = {1, 2, 3};
    flow->tags = {"a", "b"};
    return flow;
}

using FlowTableFailures = FlowTableTest;

// Fails the build at the first allocation, then the second, and so on until
// it succeeds; every failure must leave nothing behind.
template <typename Build, typename Canonical>
void FailEverywhere(FlowTableTest &test, vdFlow &flow, Build build, Canonical canonical, long points)
{
    lua_State *L = test.L();
    std::string expected = canonical(build());
    lua_gc(L, LUA_GCCOLLECT);
    std::size_t tables = test.RegistryTables();

    FailingAllocator allocator(L);
    allocator.Install();
    long attempt = 0;
    for (;; attempt++) {
        SCOPED_TRACE(attempt);
        ASSERT_LT(attempt, 100000);
        allocator.Arm(attempt);
        try {
            lppLuaRef value = build();
            allocator.Disarm();
            EXPECT_FALSE(allocator.Failed());
            EXPECT_EQ(canonical(value), expected);
            break;
        } catch (const lppLuaError &e) {
            allocator.Disarm();
            EXPECT_TRUE(allocator.Failed());
            EXPECT_NE(std::string(e.what()).find("not enough memory"), std::string::npos) << e.what();
        }
        EXPECT_EQ(lua_gettop(L), 0);
        EXPECT_EQ(test.RegistryTables(), tables);
        EXPECT_TRUE(LockIsFree(flow));
        EXPECT_TRUE(lua_gc(L, LUA_GCISRUNNING));
    }
    // Enough failure points were met to cover every table built.
    EXPECT_GE(attempt, points);
}

TEST_F(FlowTableFailures, MemoryErrorAtAnyPointOfAFlowTable)
{
    auto flow = RichFlow();
    lppEvent::Entry entry(flow, json::parse(R"({"doc": {"list": [1, null, {"x": "y"}]}, "n": 1})"));
    FailEverywhere(*this, *flow, [&] { return runtime.CreateFlowTable(entry, false); },
        [this](const lppLuaRef &value) { return Canon(value); }, 40);
}

TEST_F(FlowTableFailures, MemoryErrorAtAnyPointOfAJsonValue)
{
    auto flow = PlainTcpFlow();
    json doc = json::parse(R"({"a": [1, null, "two", {"b": [[], {}, 3.5]}], "c": {"d": {"e": true}},
        "f": "a longer string than fits a short Lua string, to take another allocation path"})");
    FailEverywhere(*this, *flow, [&] { return CreateLuaValue(L(), doc); },
        [this](const lppLuaRef &value) { return CanonValue(value); }, 10);
}

TEST_F(FlowTableFailures, FullLuaStackIsAnErrorThatLeavesTheStackAsItWas)
{
    auto flow = PlainTcpFlow();
    lppEvent::Entry entry(flow);
    // Made once per state: the builder exists from here on.
    { lppLuaRef first = runtime.CreateFlowTable(entry, true); }
    lua_State *S = L();
    while (lua_checkstack(S, 2)) lua_pushnil(S);
    const int top = lua_gettop(S);
    try {
        lppLuaRef table = runtime.CreateFlowTable(entry, true);
        ADD_FAILURE() << "a flow table was built on a full stack";
    } catch (const lppLuaError &e) {
        EXPECT_NE(std::string(e.what()).find("stack overflow"), std::string::npos) << e.what();
    }
    EXPECT_EQ(lua_gettop(S), top);
    lua_settop(S, 0);
    lppLuaRef again = runtime.CreateFlowTable(entry, true);
    EXPECT_TRUE(again.Valid());
}

TEST_F(FlowTableFailures, CollectorStateIsKept)
{
    auto flow = RichFlow();
    lppEvent::Entry entry(flow);
    lua_gc(L(), LUA_GCSTOP);
    { lppLuaRef table = runtime.CreateFlowTable(entry, false); }
    EXPECT_FALSE(lua_gc(L(), LUA_GCISRUNNING));
    lua_gc(L(), LUA_GCRESTART);
    { lppLuaRef table = runtime.CreateFlowTable(entry, false); }
    EXPECT_TRUE(lua_gc(L(), LUA_GCISRUNNING));
    EXPECT_TRUE(LockIsFree(*flow));
}

TEST_F(FlowTableFailures, FlowLockHeldElsewhereIsWaitedFor)
{
    // The detection half reads under the flow's lock: a daemon thread that
    // holds it delays the table, and the table then sees what it wrote.
    auto flow = PlainTcpFlow();
    lppEvent::Entry entry(flow);
    std::atomic<bool> holding{false};
    std::thread daemon([&] {
        std::lock_guard<std::recursive_mutex> held(flow->lock);
        holding = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        flow->detected_protocol_name = "DNS";
    });
    while (!holding) std::this_thread::yield();
    lppLuaRef table = runtime.CreateFlowTable(entry, false);
    daemon.join();
    Run("function name(t) return t.detected_protocol_name end");
    EXPECT_EQ(Call("name", table), "DNS");
}

}  // namespace
}  // namespace lpptest
