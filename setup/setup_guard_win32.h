// One setup at a time on the computer, in any session: the setup and the uninstaller each hold,
// while they run, a named object that only an administrator can make. A name that anyone else
// made first is no other setup, and never keeps the setup from running.
#pragma once

#include "common/unique_handle_win32.h"

namespace kestrelon::setup {

enum class GuardState {
  held,          // this setup holds it now
  another_runs,  // another setup or uninstaller of Kestrelon holds it
  not_held,      // somebody else made the name: it proves nothing, and the setup goes on
};

class SetupGuard {
 public:
  // Takes the guard for as long as this object lives (the plug-in's, the setup's whole run).
  GuardState acquire();

 private:
  UniqueHandle held_;
};

}  // namespace kestrelon::setup
