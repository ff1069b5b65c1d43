// The built-in demonstration of `vexsim demo`.
#pragma once

#include <ostream>

namespace sim {

int RunDemo(std::ostream &out, std::ostream &err);

}  // namespace sim
