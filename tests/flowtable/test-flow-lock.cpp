// The flow's lock is held only while the detection half is read: never while
// Lua allocates, so that no collector step, and no script finaliser it may
// run, happens while the daemon's threads wait for the flow.
#include <thread>

#include "bench-flows.hpp"
#include "flowtable-fixture.hpp"

namespace lpptest {
namespace {

// Wraps the state's allocator and asks, at every allocation, whether another
// thread could take the flow's lock.
class LockProbe {
public:
    LockProbe(lua_State *L, vdFlow &flow) : L(L), flow(flow)
    {
        original = lua_getallocf(L, &original_ud);
        lua_setallocf(L, Alloc, this);
    }
    ~LockProbe() { lua_setallocf(L, original, original_ud); }

    int allocations = 0;
    int under_lock = 0;

private:
    static void *Alloc(void *ud, void *ptr, std::size_t osize, std::size_t nsize)
    {
        auto *self = static_cast<LockProbe *>(ud);
        if (nsize > 0) {
            self->allocations++;
            bool free = false;
            std::thread probe([self, &free] {
                free = self->flow.lock.try_lock();
                if (free) self->flow.lock.unlock();
            });
            probe.join();
            if (!free) self->under_lock++;
        }
        return self->original(self->original_ud, ptr, osize, nsize);
    }

    lua_State *L;
    vdFlow &flow;
    lua_Alloc original;
    void *original_ud = nullptr;
};

using FlowLock = FlowTableTest;

TEST_F(FlowLock, NoLuaAllocationWhileTheFlowLockIsHeld)
{
    // Every detection entry present: GTP, every protocol table, STUN, risks
    // and tags.
    auto flow = lppbench::MakeTlsFlow();
    flow->tunnel_type = vdFlow::TUNNEL_GTP;
    flow->gtp.lower_addr.SetFromString("10.0.0.1");
    flow->http.url = "/index.html";
    flow->dhcp.class_ident = "MSFT 5.0";
    flow->ssh.client_agent = "OpenSSH_9.2";
    flow->bt_info_hash = {0xaa};
    flow->ssdp_user_agent = "UPnP/1.0";
    flow->mdns_domain_name = "printer.local";
    flow->stun.peer.SetFromString("192.0.2.1");
    lppEvent::Entry entry(flow);

    std::string expected = Canon(runtime.CreateFlowTable(entry, false));
    lppLuaRef table;
    int allocations = 0;
    {
        LockProbe probe(L(), *flow);
        table = runtime.CreateFlowTable(entry, false);
        allocations = probe.allocations;
        EXPECT_EQ(probe.under_lock, 0);
    }
    // The probe saw the table being built.
    EXPECT_GT(allocations, 20);
    EXPECT_EQ(Canon(table), expected);
}

}  // namespace
}  // namespace lpptest
