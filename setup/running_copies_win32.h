#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrelon::setup {

// True when a process other than this one, in any session, runs one of the programs NAMES whose
// image file is in FOLDER (a full path, compared without regard to case, as Windows compares
// names). The setup and the uninstaller ask it before replacing or removing the programs: unlike
// a named object, which anyone can make, only a program whose file is in the folder counts, and
// only administrators can put one there. Other programs there (the uninstaller handing its work
// to a copy of itself) do not count. An empty FOLDER is any folder: a copy from the zip, which the
// device search only mentions as a likely holder of a port.
bool program_runs_from(const std::wstring& folder, const std::vector<std::wstring_view>& names);

}  // namespace kestrelon::setup
