// The file services of the settings file, on real files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kestrelon {

inline constexpr int64_t kFileMissing = -1;
inline constexpr int64_t kFileIsDirectory = -2;

// Size in bytes; kFileMissing or kFileIsDirectory.
int64_t file_size(const std::wstring& name);

// Creates the file (replacing one), or failing that truncates an existing one, and writes
// the bytes. Nothing is reported: a file that cannot be made is simply not there.
void write_new_file(const std::wstring& name, std::string_view bytes);

// What a file operation that can fail reports: ok, or the system's own words for the reason.
struct FileResult {
  bool ok = true;
  std::wstring reason;
};

// Creates the file (replacing one), writes every byte and has the system put them on the disk.
FileResult write_whole_file(const std::wstring& name, std::string_view bytes);

// Copies the file `from` to `to`, replacing a file of that name.
FileResult copy_file(const std::wstring& from, const std::wstring& to);

// Puts the file `from` in the place of `to` in one step: whoever opens `to` finds the old file
// or the new one, never a mix.
FileResult replace_file(const std::wstring& from, const std::wstring& to);

void remove_file(const std::wstring& name);

// The name with the full path of its folder in front, as the user should be shown it.
std::wstring full_path(const std::wstring& name);

class ReadableFile {
 public:
  // Opened for reading and writing, shared, created empty if missing; for reading only when
  // write access is refused (a protected folder, a read-only file); nullptr on failure.
  static std::unique_ptr<ReadableFile> open(const std::wstring& name);
  virtual ~ReadableFile() = default;
  // Bytes read into the buffer; 0 at the end of the file, -1 on a read error.
  virtual int64_t read(char* buffer, uint32_t size) = 0;
};

}  // namespace kestrelon
