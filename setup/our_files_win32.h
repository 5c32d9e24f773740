// The files of ours in the setup's two folders: the names each may hold, each file looked at and
// taken as itself through the folder the setup holds, the settings folder's own file, and the
// earlier install's files removed from the program folder.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

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
// gets, through the same open, the owner and rights a new file of ours would have, in one step.
// TAKEN gets it, with what it had.
FolderFault take_file(HANDLE folder, const std::wstring& name, OurFolder kind,
                      const std::wstring& me, std::vector<TakenFile>& taken);
// Gives FILE, taken in FOLDER, back the owner and list it had; false when it cannot.
bool give_back_file(HANDLE folder, const TakenFile& file);

// The settings folder's own file, which users may read but not remove: it keeps the folder from
// ever being empty, and only an empty folder can be made a mount point. Made in FOLDER with
// RIGHTS (SDDL), never without them; MADE when this call made it. One already there was checked
// when the folder was taken.
inline constexpr wchar_t kKeeperRights[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
FolderFault make_keeper(HANDLE folder, bool& made, const wchar_t* rights = kKeeperRights);
// Removes it from FOLDER.
void remove_keeper(HANDLE folder);

// The files of an earlier install in the held program folder, each opened as itself and marked
// for deletion, before anything is written: one that cannot be (held open by someone) is named
// in FAILED, and every mark made is undone. Nothing is ever written into an old file.
bool mark_earlier_program_files(TakenFolder& program, std::wstring& failed);
// Undoes those marks: the files stay, with their attributes. False when one could not be undone.
bool unmark_earlier_files(TakenFolder& folder);
// Removes the marked files, letting them go, once the removals an earlier uninstall left for the
// next restart in the folder are cancelled (else FAILED names the folder and they stay marked).
bool remove_earlier_program_files(TakenFolder& program, std::wstring& failed);

}  // namespace kestrelon::setup
