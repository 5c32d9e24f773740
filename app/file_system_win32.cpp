// The settings file's services by path, over Win32 file handles, and the open files that the
// held folder hands out too.
#include "app/file_system_win32.h"

#include <climits>

#include "app/nt_file_win32.h"
#include "common/text.h"

namespace kestrelon {
namespace {

constexpr DWORD kReasonRoom = 512;

// Writes every byte; false, with the last error set, when the system takes no more.
bool write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > UINT_MAX / 2 ? UINT_MAX / 2 : DWORD(bytes.size());
    DWORD written = 0;
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return false;
    if (written == 0) {
      SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

class Win32ReadableFile final : public ReadableFile {
 public:
  explicit Win32ReadableFile(UniqueHandle handle) : file_(std::move(handle)) {}
  int64_t read(char* buffer, uint32_t size) override {
    DWORD count = 0;
    if (ReadFile(file_.get(), buffer, size, &count, nullptr)) return count;
    read_error_ = GetLastError();
    return -1;
  }
  std::wstring read_failure() const override { return failure_of(read_error_).reason; }

 private:
  UniqueHandle file_;
  DWORD read_error_ = ERROR_SUCCESS;
};

class Win32NewFile final : public NewFile {
 public:
  explicit Win32NewFile(UniqueHandle handle) : file_(std::move(handle)) {}
  FileResult write(std::string_view bytes) override {
    return write_all(file_.get(), bytes) ? FileResult{} : failure_of(GetLastError());
  }
  FileResult flush() override {
    return FlushFileBuffers(file_.get()) ? FileResult{} : failure_of(GetLastError());
  }

 private:
  UniqueHandle file_;
};

}  // namespace

FileResult failure_of(DWORD error) {
  wchar_t text[kReasonRoom];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, kReasonRoom, nullptr);
  while (length > 0 &&
         (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
    --length;
  }
  if (length == 0) return {false, L"Eroare de sistem " + number_to_text(error)};
  return {false, std::wstring(text, length)};
}

std::unique_ptr<ReadableFile> readable_file(UniqueHandle file) {
  return std::make_unique<Win32ReadableFile>(std::move(file));
}

std::unique_ptr<NewFile> new_file(UniqueHandle file) {
  return std::make_unique<Win32NewFile>(std::move(file));
}

int64_t file_size(const std::wstring& name) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return kFileMissing;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kFileIsDirectory;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void write_new_file(const std::wstring& name, std::string_view bytes) {
  // Made under the name itself: a link left there (a dangling one) is not followed to make its
  // target with the rights of whoever runs the program. The facts of the file are read through
  // this handle: Windows refuses them to a handle opened for writing alone.
  constexpr DWORD kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
  HANDLE handle = CreateFileW(name.c_str(), kAccess, nt::kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(name.c_str(), kAccess, nt::kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  const UniqueHandle file(handle);
  nt::Facts facts;
  if (file.valid() && nt::succeeded(nt::query_facts(file.get(), facts)) &&
      facts.is_plain_file_with_one_name() && SetEndOfFile(file.get())) {
    write_all(file.get(), bytes);
  }
}

std::unique_ptr<ReadableFile> ReadableFile::open(const std::wstring& name) {
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, nt::kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Made new under the name itself, never through a link (see write_new_file).
    handle = CreateFileW(name.c_str(), GENERIC_READ, nt::kShareAll, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  UniqueHandle file(handle);
  return file.valid() ? readable_file(std::move(file)) : nullptr;
}

std::wstring full_path(const std::wstring& name) {
  const DWORD room = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
  if (room == 0) return name;
  std::wstring path(room, L'\0');
  const DWORD length = GetFullPathNameW(name.c_str(), room, path.data(), nullptr);
  if (length == 0 || length >= room) return name;
  path.resize(length);
  return path;
}

}  // namespace kestrelon
