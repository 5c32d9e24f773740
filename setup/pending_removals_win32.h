// Removals left for the next restart (the Session Manager's PendingFileRenameOperations): the
// uninstaller, run in place, cannot remove its own file and folder while it runs, and leaves
// them to the restart. An install into that folder before then cancels them, lest the restart
// take its new uninstaller.
#pragma once

#include <string>

namespace kestrelon::setup {

// Drops the pending removals of FOLDER (a full path) and of what is in it; renames are kept.
// True when none is left, or there was none.
bool cancel_pending_removals(const std::wstring& folder);

}  // namespace kestrelon::setup
