// The file services the settings step uses, on real files.
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
