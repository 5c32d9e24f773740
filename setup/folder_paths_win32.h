// Where the setup's two folders may be, by their paths alone: the program folder, which only
// administrators change (the daily task runs its programs in any user's session), and the
// settings folder, where the shop's users write Kestrelon.ini. Paths are compared in their full,
// long form, so that C:\PROGRA~1 or C:\a\..\b is seen for what it names.
#pragma once

#include <string>
#include <string_view>

namespace kestrelon::setup {

inline constexpr size_t kDriveRootLength = 3;  // "C:\"

// Why a folder's path is refused, each fault one rule.
enum class PathFault {
  none,
  not_whole,          // not a path on a drive ("C:\..."): a relative or a network path
  drive_root,         // the drive itself
  bad_character,      // after the drive, one of * ? " < > | : % (% would be read as a variable
                      // by the task and the shortcuts)
  bad_name_end,       // a name that ends in a space or a period, which Windows drops
  too_long,           // no room left for the names inside within MAX_PATH
  drive_missing,      // no such drive on this computer
  not_fixed_disk,     // a network, removable or CD drive: it may be gone when a program starts
  in_system_folder,   // the settings folder in Program Files or Windows
  with_other_folder,  // the one folder is the other, is in it, or holds it
};

// A fault and what it is about: the character, or the drive ("Q:").
struct PathCheck {
  PathFault fault = PathFault::none;
  std::wstring detail;
};

// A folder as a person types it: the spaces at its ends dropped and "/" read as "\", which is
// what was meant.
std::wstring tidy_folder(std::wstring_view typed);

// Its full form ("." and ".." resolved, no "\" at the end), with the part that exists as the
// system names it (short names expanded) and the rest as given.
std::wstring full_long_path(const std::wstring& path);

// True when A and B are the same name, character for character but for case, as the file system
// compares names: a name with an invisible character more (U+00AD, U+200D, U+FEFF) is another.
bool same_name(std::wstring_view a, std::wstring_view b);

// True when FOLDER is PARENT or inside it, both full long paths, compared as same_name compares.
bool is_same_or_inside(const std::wstring& folder, const std::wstring& parent);

// The form any path of ours must have: a whole path on a drive, not the drive itself, names that
// Windows keeps as written, room for the names inside.
PathCheck path_form_check(const std::wstring& path);

// The form, and a drive of this computer's own fixed disks, which every user and the daily task
// find there whenever a program starts.
PathCheck folder_path_check(const std::wstring& folder);

// The system folders are given as the setup knows them: Program Files (both of a 64-bit
// Windows) and Windows.
struct SystemFolders {
  std::wstring program_files;
  std::wstring program_files_64;
  std::wstring windows;
};

// The two folders, each judged by its path with the other: the settings folder, which every user
// may write in, also keeps out of Program Files and Windows. An empty OTHER is not judged.
PathCheck settings_folder_check(const std::wstring& settings, const std::wstring& program,
                                const SystemFolders& system);
PathCheck program_folder_check(const std::wstring& program, const std::wstring& settings);

}  // namespace kestrelon::setup
