#pragma once

#include <string>

namespace kestrelon::setup {

// True when a process other than this one, in any session, runs a program whose image file is in
// FOLDER (a full path, compared without regard to case, as Windows compares names). The setup and
// the uninstaller ask it before replacing or removing the programs: unlike a named object, no
// ordinary user can make such a process, since only administrators can write in the folder.
bool program_runs_from(const std::wstring& folder);

}  // namespace kestrelon::setup
