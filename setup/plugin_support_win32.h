// What every entry point of KestrelonSetup.dll shares: the start of a call, which keeps the
// plug-in loaded until the setup ends, and what the setup's end lets go of.
#pragma once

#include <string>

#include "setup/nsis_plugin.h"

namespace kestrelon::nsis {

// Every call begins here: the plug-in stays loaded from its first call to the setup's end, which
// its state needs (NSIS unloads a plug-in after each call unless it asks otherwise).
Stack begin(int string_size, StackEntry** stack_top, ExtraParameters* extra);

std::wstring pop_or_empty(Stack& stack);

// At the setup's end, whether it completed, failed or was cancelled: the folders held are let go
// and a search still running is stopped.
void release_folders();
void stop_search();

}  // namespace kestrelon::nsis
