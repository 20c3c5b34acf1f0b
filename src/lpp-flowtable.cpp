// Flow tables.
#include "lpp-plugin.hpp"

lppLuaRef lppPlugin::CreateFlowTable(const lppEvent::Entry &, bool) { return lppLuaRef(); }
