// The file services of the settings file, on real files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrelon {

inline constexpr int64_t kFileMissing = -1;
inline constexpr int64_t kFileIsDirectory = -2;

// Why a file with more than one name is neither copied nor written over.
inline constexpr wchar_t kFileHasOtherNames[] =
    L"Fișierul are și alt nume pe disc (o legătură fixă, hard link), deci poate fi al altcuiva.";
// Why a link in the settings folder is never followed, and why a settings folder that is a link
// is never written through.
inline constexpr wchar_t kFileIsLink[] =
    L"Numele este o legătură către alt loc (legătură simbolică, joncțiune sau punct de montare), "
    L"deci poate duce la fișierul altcuiva.";
inline constexpr wchar_t kFolderIsLink[] =
    L"Folderul este o legătură către alt loc (legătură simbolică, joncțiune sau punct de montare).";

// Size in bytes; kFileMissing or kFileIsDirectory.
int64_t file_size(const std::wstring& name);

// Creates the file, or truncates an existing one that has no other name, and writes the
// bytes. Nothing is reported: a file that cannot be made is simply not there.
void write_new_file(const std::wstring& name, std::string_view bytes);

// What a file operation that can fail reports: ok, or the system's own words for the reason.
struct FileResult {
  bool ok = true;
  std::wstring reason;
  // The failure is that the name is a link (symbolic link, junction or mount point), which is
  // never followed.
  bool is_link = false;
};

// A file made anew for writing, by Folder::create.
class NewFile {
 public:
  virtual ~NewFile() = default;
  // Writes every byte.
  virtual FileResult write(std::string_view bytes) = 0;
  // Has the system put every byte written on the disk.
  virtual FileResult flush() = 0;
};

class ReadableFile {
 public:
  // Opened for reading only, shared, created empty if missing; nullptr on failure.
  static std::unique_ptr<ReadableFile> open(const std::wstring& name);
  virtual ~ReadableFile() = default;
  // Bytes read into the buffer; 0 at the end of the file, -1 on a read error.
  virtual int64_t read(char* buffer, uint32_t size) = 0;
  // The system's words for the last read error.
  virtual std::wstring read_failure() const = 0;
};

// The file or folder with the full path of its folder in front, as the user should be shown it.
std::wstring full_path(const std::wstring& name);

// What stands under one name in a folder. `missing` only when the system says there is no such
// name; any other failure is an `error`, with the system's words in `reason`.
struct FileStatus {
  enum class Type { missing, file, folder, error };
  Type type = Type::missing;
  int64_t size = 0;  // of a file
  // Of a file the system keeps from being changed: the read-only attribute on Windows; no write
  // permission, an immutable file or a read-only mount on POSIX.
  bool read_only = false;
  std::wstring reason;  // of an error
};

// A folder held open as itself. Every operation names one file in it and is made relative to
// the held folder, never through a path: a folder renamed and replaced by a link meanwhile leads
// nowhere else, and no link under a name is followed. Attributes are cleared, where a replace or
// remove needs it, only on a file with one name; a file with other names keeps them and the step
// fails.
class Folder {
 public:
  // The folder at PATH; nullptr, with the reason in `result`, when it cannot be opened or is
  // itself a link (then `result.is_link`).
  static std::unique_ptr<Folder> open(const std::wstring& path, FileResult& result);
  virtual ~Folder() = default;
  // The folder's full path, as the user should be shown it.
  virtual const std::wstring& path() const = 0;
  // A name in the folder as the user should be shown it.
  std::wstring shown(const std::wstring& name) const;
  virtual FileStatus status(const std::wstring& name) = 0;
  // A file made anew for writing (nullptr, with the reason, when it cannot be): what stood under
  // the name is removed first, by that name only, and the new file has no attributes of its own.
  virtual std::unique_ptr<NewFile> create(const std::wstring& name, FileResult& result) = 0;
  // An existing regular file with no other name, opened as itself, for reading only. A file with
  // another name (kFileHasOtherNames) or a link (`result.is_link`) is refused: in a folder every
  // user may write, it could be somebody else's file, which a copy made by an administrator
  // would hand to every user.
  virtual std::unique_ptr<ReadableFile> open_existing(const std::wstring& name,
                                                      FileResult& result) = 0;
  // Puts FROM in the place of TO in one step: whoever opens TO finds the old file or the new one,
  // never a mix. On failure both stay as they were.
  virtual FileResult replace(const std::wstring& from, const std::wstring& to) = 0;
  // Removes a file (never a folder); a missing one is no failure.
  virtual FileResult remove(const std::wstring& name) = 0;
};

}  // namespace kestrelon
