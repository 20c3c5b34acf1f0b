// Handler invocation.
#include "lpp-plugin.hpp"

void lppPlugin::ProcessAgentEvent(lppEvent &) {}
void lppPlugin::ProcessFlowEvent(lppEvent &) {}
void lppPlugin::ProcessFlowMap(lppEvent &) {}
void lppPlugin::ProcessFlowStats(lppEvent &) {}
