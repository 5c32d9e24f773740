// The two programs: each takes the single-instance guard, then does its one job with the
// system's services. Beside another copy of either, Kestrelon ends at once, silently, with exit
// code 0; KestrelonScan says so and ends with its own exit code.
#pragma once

namespace kestrelon {

// Kestrelon: one run that has the device print its report. Returns the process exit code,
// which is 0 on every path.
int run_program();

// KestrelonScan: one scan, and the device found pinned in the settings file on the user's Yes.
// Returns the process exit code (scan_exit_code).
int run_scan_program();

}  // namespace kestrelon
