// The setup's two folders as it checks and takes them. Every folder from the drive's root down is
// opened as itself, relative to the one above, following no junction, mount point or link; what
// the setup writes afterwards goes through those handles. The setup runs as administrator, while
// the shop's users may write in the settings folder: nothing they do between a check and a write
// may turn a folder of ours into a way to somebody else's.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/file_system.h"
#include "app/nt_file_win32.h"
#include "setup/shop_rights.h"

namespace kestrelon::setup {

// The rights, by the groups' SIDs so that they hold in every Windows language. All are owned
// by Administrators and protected: nothing is inherited from above (from Vista on, C:\ lets every
// user change any folder made under it). FA: full control; 0x1200A9: read and run; 0x1200AB:
// that and create files; 0x1301BF: Modify; S-1-3-4, OWNER RIGHTS: what a file's creator may do
// beyond the other users (nothing: no changing its rights; Vista and later, ignored by XP).
inline constexpr wchar_t kAdministratorsOnly[] = L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
inline constexpr wchar_t kProgramFolderRights[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200A9;;;BU)";
inline constexpr wchar_t kSettingsFolderRights[] =
    L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200AB;;;BU)(A;OIIO;0x1301BF;;;BU)"
    L"(A;OIIO;0x1301BF;;;S-1-3-4)";

// Why a folder cannot be the setup's.
enum class FolderFault {
  none,
  link,                // it, or a folder on the way to it, is a junction, mount point or link
  users_may_change,    // a folder on the way that ordinary users may rename or re-permission
  users_could_write,   // it exists, and its list gave others more than ours does: a handle they
                       // opened then would keep those rights after the setup's lock
  not_administrators,  // it exists, and its owner is no administrator
  not_ours,            // a file, not a folder, or it holds what is not ours
  access_failed,       // it could not be made, opened or read, or the setup's own file written
                       // in it
  rights_not_set,      // its rights or owner could not be set
  not_given_back,      // refused, and the owner and list it was found with could not be put back
};

enum class OurFolder { program, settings };

struct FolderCheck {
  FolderFault fault = FolderFault::none;
  std::wstring folder;  // the folder the fault is about
};

// A file of ours found in a folder being taken, with the owner and list it had. Not held: a
// file held open cannot be replaced (as the pin replaces Kestrelon.ini); the folder is the
// administrators' by then, so nobody else can replace it.
struct TakenFile {
  std::wstring name;
  std::string earlier_rights;
};

// A file of the earlier install, marked for deletion through a handle held until the install
// lets it go (the file goes then) or gives the folder back (the mark undone, its attributes
// as they were).
struct MarkedFile {
  UniqueHandle file;
  ULONG earlier_attributes = 0;  // 0: none were cleared
};

// A folder taken for the install: it and every folder on the way to it, held open (looked at,
// sharing no deletion) so that nobody can rename, remove or replace them until the setup ends;
// and what taking it changed, so that an install that stops before anything is installed can
// leave the disk as it found it.
struct TakenFolder {
  std::wstring path;
  std::vector<UniqueHandle>
      way;  // the drive's root, then each folder down to the last one's parent
  UniqueHandle folder;
  std::vector<std::wstring> names;  // of the folders below the root, the last one's included
  size_t first_made = 0;            // in NAMES: from there down, the setup made them
  std::string earlier_rights;       // of the last folder, when it was there before
  std::vector<TakenFile> files;     // found in it, given our rights
  std::vector<MarkedFile> marked;   // of an earlier install, to be removed
  bool keeper_made = false;         // the settings folder's own file, made by this install
};

// True when FOUND, the owner and list of an existing folder or file, gives anyone but
// administrators more on it than OURS (SDDL) does, or its owner is no administrator.
bool gives_others_more_than(const SecurityView& found, const wchar_t* ours,
                            std::wstring_view installing_user);

// Checks PATH (a full, long path) for folder KIND as it stands on the disk, changing nothing.
FolderCheck check_folder(const std::wstring& path, OurFolder kind);

// Takes PATH for folder KIND: makes what is missing on the way with the program folder's rights
// and holds every folder; an existing folder is judged as it was found, then locked to
// administrators, then its files of ours are checked and get their rights, and it its own. The
// settings folder gets a file of the setup's own that users cannot remove, before users get any
// right on it: a folder that is never empty can never be turned into a mount point. A refused
// folder is given back (not_given_back when that failed).
FolderCheck take_folder(const std::wstring& path, OurFolder kind, TakenFolder& taken);

// Undoes what taking the folder changed: the earlier files' removal, the setup's own file it
// made, the owner and list its files and it had, the folders it made on the way (each only
// while empty); lets the folder go. False when an owner or list could not be put back.
bool give_back(TakenFolder& taken);

// The files of a taken folder, each reached through its handle.
std::unique_ptr<Folder> files_of(const TakenFolder& taken);

}  // namespace kestrelon::setup
