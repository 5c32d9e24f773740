// The whole program: the single-instance guard, then one run with the system's services.
#pragma once

namespace kestrelon {

// Returns the process exit code, which is 0 on every path.
int run_program();

}  // namespace kestrelon
