// How ExRaiseStatus travels on the host: a C++ exception carrying the status.
#pragma once

#include <wdm.h>

namespace plat {

using RaisedStatus = SIMULATED_RAISED_STATUS;

}  // namespace plat
