// The files of ours in the setup's two folders: the names each may hold, each file looked at and
// taken as itself through the folder the setup holds, the settings folder's own file, and the
// earlier install's files removed from the program folder.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "setup/our_folders_win32.h"
#include "setup/security_win32.h"

namespace kestrelon::setup {

// True when NAME is one the folder KIND may hold when the setup finds it there: its own files,
// character for character but for case.
bool is_ours(std::wstring_view name, OurFolder kind);

// NAME, a file of ours in FOLDER, as it stands: a plain file with one name; the settings folder's
// own file also one the setup made. ME is the installing administrator's SID.
FolderFault look_at_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                         const std::wstring& me);

// The same in a folder being taken, which only administrators can change by now; then the file
// gets, through the same open, the rights a new file of ours would have.
FolderFault take_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                      const std::wstring& me);

// The settings folder's own file, which users may read but not remove: it keeps the folder from
// ever being empty, and only an empty folder can be made a mount point. Made in FOLDER with
// RIGHTS (SDDL), never without them; MADE when this call made it. One already there was checked
// when the folder was taken.
inline constexpr wchar_t kKeeperRights[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
FolderFault make_keeper(HANDLE folder, bool& made, const wchar_t* rights = kKeeperRights);
// Removes it from FOLDER.
void remove_keeper(HANDLE folder);

// Removes the files of an earlier install from the held program folder, through its handle,
// and cancels the removals an earlier uninstall left for the next restart there; an old file
// that cannot be removed (held open by someone) is named in FAILED (the folder, when those
// removals could not be cancelled or it cannot be reached), and nothing is ever written into it.
bool remove_earlier_program_files(const TakenFolder& program, std::wstring& failed);

}  // namespace kestrelon::setup
