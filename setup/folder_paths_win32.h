// Where the setup's two folders may be, by their paths alone: the program folder, which only
// administrators change (the daily task runs its programs in any user's session), and the
// settings folder, where the shop's users write Kestrelon.ini. Paths are compared in their full,
// long form, so that C:\PROGRA~1 or C:\a\..\b is seen for what it names.
#pragma once

#include <string>
#include <string_view>

namespace kestrelon::setup {

inline constexpr size_t kDriveRootLength = 3;  // "C:\"

// Why a folder's path is refused.
enum class PathFault {
  none,
  form,   // not a whole path on a drive ("C:\..."), the drive itself, a character no name may
          // hold, or too long for the files inside
  place,  // the settings folder in or around the program folder, in Program Files or Windows
};

// Its full form ("." and ".." resolved, no "\" at the end), with the part that exists as the
// system names it (short names expanded) and the rest as given.
std::wstring full_long_path(const std::wstring& path);

// True when A and B are the same name, character for character but for case, as the file system
// compares names: a name with an invisible character more (U+00AD, U+200D, U+FEFF) is another.
bool same_name(std::wstring_view a, std::wstring_view b);

// True when FOLDER is PARENT or inside it, both full long paths, compared as same_name compares.
bool is_same_or_inside(const std::wstring& folder, const std::wstring& parent);

// The form any folder of ours must have, by its path alone: PathFault::form or none.
PathFault folder_path_fault(const std::wstring& folder);

// The system folders are given as the setup knows them: Program Files (both of a 64-bit
// Windows) and Windows.
struct SystemFolders {
  std::wstring program_files;
  std::wstring program_files_64;
  std::wstring windows;
};
PathFault settings_folder_fault(const std::wstring& settings, const std::wstring& program,
                                const SystemFolders& system);

}  // namespace kestrelon::setup
