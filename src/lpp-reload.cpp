// Configuration file and reload.
#include "lpp-plugin.hpp"

void lppPlugin::Reload() { throw vdException("%s: reload not available", tag.c_str()); }
