// The two folders as a person chooses them, on the wizard's pages or on the command line: each
// judged whole (its path, its drive, the other folder, then as it stands on the disk) with the
// one rule it breaks, and a folder proposed only when it would be accepted.
#pragma once

#include <string>

#include "setup/folder_paths_win32.h"
#include "setup/our_folders_win32.h"

namespace kestrelon::setup {

inline constexpr wchar_t kDefaultSettingsFolder[] = L"C:\\Kestrelon";

// The two folders, as given (an empty one is not judged against the other), and the system's.
struct FolderPair {
  std::wstring settings;
  std::wstring program;
  SystemFolders system;

  std::wstring& of(OurFolder kind) { return kind == OurFolder::program ? program : settings; }
  const std::wstring& of(OurFolder kind) const {
    return kind == OurFolder::program ? program : settings;
  }
};

// Why a folder is refused: one rule each, in the order they are judged.
enum class Refusal {
  none,
  // By its path (PathFault).
  not_whole,
  drive_root,
  bad_character,
  bad_name_end,
  too_long,
  drive_missing,
  not_fixed_disk,
  in_system_folder,
  with_other_folder,
  // As it stands on the disk (FolderFault), told apart where the next step differs.
  link,
  users_may_change,
  users_could_write,
  not_administrators,
  is_a_file,      // a file stands where the folder would be
  not_ours,       // it holds files or folders of somebody else's
  portable_copy,  // it holds a copy of the programs from the zip: moved, never deleted
  not_written,
  rights_not_set,
  not_given_back,  // refused, and what it was found with could not be put back
};

struct Verdict {
  Refusal refusal = Refusal::none;
  // Accepted: the folder in its full, long form. Refused: the folder the refusal is about (the
  // value as typed, or a folder on the way to it).
  std::wstring folder;
  std::wstring detail;  // the character or the drive the refusal names
};

// How a folder found on the disk is refused, told apart by what stands at FOLDER.
Refusal refusal_of(FolderFault fault, const std::wstring& folder);

// Folder KIND of PAIR judged whole, as it was meant (tidy_folder), changing nothing.
Verdict judge_folder(OurFolder kind, const FolderPair& pair);

// A folder for KIND that would be accepted, from FROM (what was typed, or chosen with
// "Răsfoire..."): FROM itself, else a folder for Kestrelon in it or beside it, else the default;
// the first of those that is accepted whole. Nothing accepted: the first whose path is whole.
std::wstring proposed_folder(OurFolder kind, const std::wstring& from, const FolderPair& pair);

}  // namespace kestrelon::setup
