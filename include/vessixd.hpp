// Everything a vessixd plugin compiles against.
#pragma once

#include "vd-addr.hpp"
#include "vd-base.hpp"
#include "vd-config.hpp"
#include "vd-flow.hpp"
#include "vd-plugin.hpp"
#include "vd-thread.hpp"
