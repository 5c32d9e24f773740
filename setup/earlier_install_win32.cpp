#include "setup/earlier_install_win32.h"

#include <windows.h>

#include "app/nt_file_win32.h"
#include "setup/folder_paths_win32.h"
#include "setup/our_files_win32.h"
#include "setup/our_folders_win32.h"

namespace kestrelon::setup {

bool remove_earlier_install(const std::wstring& earlier, const std::wstring& program,
                            std::wstring& left) {
  if (earlier.empty() || path_form_check(earlier).fault != PathFault::none) return true;
  const std::wstring folder = full_long_path(earlier);
  if (same_name(folder, full_long_path(program)) ||
      GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return true;
  }
  // Taken as the program folder is: reached as itself, the administrators', only files of ours.
  TakenFolder taken;
  if (take_folder(folder, OurFolder::program, taken).fault != FolderFault::none ||
      !mark_earlier_program_files(taken, left) || !remove_earlier_program_files(taken, left)) {
    if (left.empty()) left = folder;
    return false;
  }
  // Empty now: removed through the folder above it, once it is let go.
  taken.folder = {};
  const nt::Opened emptied =
      nt::open_relative(taken.way.back().get(), taken.names.back(), DELETE, nt::kShareAll,
                        nt::Disposition::open_existing, nt::Kind::folder);
  if (emptied.handle.valid()) nt::mark_for_deletion(emptied.handle.get());
  return true;
}

}  // namespace kestrelon::setup
