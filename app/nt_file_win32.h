// Files and folders opened relative to a folder handle, each as itself: no junction, mount point
// or symbolic link on the way is followed, and a folder renamed and replaced meanwhile leads
// nowhere else. Every failure is a Win32 error code (ERROR_SUCCESS for none), the one vocabulary
// of the file services: the native statuses are turned into it here and nowhere else. Windows
// only; what the programs' held folder and the setup are built on.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_handle_win32.h"

namespace kestrelon::nt {

// Sharing everything: an open that keeps nobody else out.
inline constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

enum class Disposition { open_existing, create_new, open_or_create };
// What may stand under the name: a file, a folder, or either.
enum class Kind { file, folder, either };
// An open for backup lets the backup and restore privileges, where enabled, grant what the
// object's list does not.
enum class Intent { plain, backup };

struct Opened {
  UniqueHandle handle;          // not valid on failure
  DWORD error = ERROR_SUCCESS;  // why it could not be opened
  bool created = false;
};

// Opens NAME, one name inside FOLDER, or with FOLDER null a full Win32 path ("C:\\",
// "C:\\Kestrelon"). A reparse point is opened as itself, never followed. SYNCHRONIZE is added to
// ACCESS; I/O on the handle is synchronous. SECURITY (may be null) is given to what is created.
Opened open_relative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                     Disposition disposition, Kind kind, PSECURITY_DESCRIPTOR security = nullptr,
                     Intent intent = Intent::plain);

// True when the error says nothing stands under the name (or, for a full path, under one of
// its folders).
inline bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}
inline bool succeeded(DWORD error) {
  return error == ERROR_SUCCESS;
}

// What the system says of an open file or folder.
struct Facts {
  ULONG attributes = 0;
  ULONG reparse_tag = 0;  // 0 for none
  ULONG links = 0;        // how many names (hard links) it has
  int64_t size = 0;       // of a file, in bytes
  bool is_folder() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  // A junction, mount point or symbolic link: a reparse point whose tag is a name surrogate. A
  // cloud file's or deduplicated file's tag is not a link.
  bool is_link() const;
  // Neither a folder nor a link, and no other name: a file that cannot be somebody else's file
  // under another name, so that it may be written into or copied.
  bool is_plain_file_with_one_name() const { return !is_folder() && !is_link() && links == 1; }
};
// The facts of a file or folder opened with FILE_READ_ATTRIBUTES.
DWORD query_facts(HANDLE file, Facts& facts);

// True when the folder's listing shows PATH as a link. Wine opens a link to a folder as its
// target even when asked for the link itself, and tells of the link only in the listing; on
// Windows the handle already says so, and this only repeats it.
bool listed_as_link(const std::wstring& path);

// Renames the open FILE (opened with DELETE) to NAME inside FOLDER, over what is there when
// REPLACE_EXISTING.
DWORD rename_to(HANDLE file, HANDLE folder, std::wstring_view name, bool replace_existing);
// Has the open FILE (opened with DELETE) removed when its last handle closes; with DELETED
// false, kept after all.
DWORD mark_for_deletion(HANDLE file, bool deleted = true);
// Sets the attributes of an open file (FILE_WRITE_ATTRIBUTES).
DWORD set_attributes(HANDLE file, ULONG attributes);
// The names in an open folder (FILE_LIST_DIRECTORY), without "." and "..".
DWORD list_names(HANDLE folder, std::vector<std::wstring>& names);

}  // namespace kestrelon::nt
