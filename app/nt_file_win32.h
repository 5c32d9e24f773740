// Files opened relative to a folder handle, each as itself: no junction, mount point or
// symbolic link on the way is followed, and a folder renamed and replaced meanwhile leads nowhere
// else. Windows only; what the programs' file services and the setup are built on.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kestrelon::nt {

// Owns one handle; closed when dropped.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle();
  Handle(Handle&& other) noexcept;
  Handle& operator=(Handle&& other) noexcept;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_ = nullptr;
};

enum class Disposition { open_existing, create_new, open_or_create };
enum class Kind { file, folder };

struct Opened {
  Handle handle;    // not valid on failure
  LONG status = 0;  // the NTSTATUS
  bool created = false;
  DWORD error() const;  // the status as a Win32 error
};

// Opens NAME, one name inside FOLDER, or with FOLDER null a full Win32 path ("C:\\",
// "C:\\Kestrelon"). A reparse point is opened as itself, never followed. SYNCHRONIZE is added to
// ACCESS; I/O on the handle is synchronous. SECURITY (may be null) is given to what is created.
Opened open_relative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                     Disposition disposition, Kind kind, PSECURITY_DESCRIPTOR security = nullptr);

// Renames the open FILE (opened with DELETE) to NAME inside FOLDER, over what is there when
// REPLACE_EXISTING.
LONG rename_to(HANDLE file, HANDLE folder, std::wstring_view name, bool replace_existing);
// Has the open FILE (opened with DELETE) removed when its last handle closes.
LONG mark_for_deletion(HANDLE file);
// The attributes and the reparse tag (0 for none) of an open file or folder.
LONG attributes_and_tag(HANDLE file, ULONG& attributes, ULONG& reparse_tag);
// True for a junction, mount point or symbolic link: a reparse point whose tag is a name
// surrogate. A cloud file's or deduplicated file's tag is not a link.
bool is_link(ULONG attributes, ULONG reparse_tag);
// True when the folder's listing shows PATH as a link. Wine opens a link to a folder as its
// target even when asked for the link itself, and tells of the link only in the listing; on
// Windows the handle already says so, and this only repeats it.
bool listed_as_link(const std::wstring& path);
// Sets the attributes of an open file (FILE_WRITE_ATTRIBUTES).
LONG set_attributes(HANDLE file, ULONG attributes);
// How many names (hard links) the open file has.
LONG link_count(HANDLE file, ULONG& links);
// The names in an open folder (FILE_LIST_DIRECTORY), without "." and "..".
LONG list_names(HANDLE folder, std::vector<std::wstring>& names);
// Success of an NTSTATUS.
inline bool succeeded(LONG status) {
  return status >= 0;
}

}  // namespace kestrelon::nt
