// Settings-file services over Win32 file handles.
#include <windows.h>

#include <climits>

#include "app/file_system.h"
#include "common/text.h"

namespace kestrelon {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kReasonRoom = 512;

// The system's own words for the error, in the user's language.
FileResult failure(DWORD error) {
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

// Owns one file handle.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (valid()) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

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
  explicit Win32ReadableFile(HANDLE handle) : file_(handle) {}
  int64_t read(char* buffer, uint32_t size) override {
    DWORD count = 0;
    if (ReadFile(file_.get(), buffer, size, &count, nullptr)) return count;
    read_error_ = GetLastError();
    return -1;
  }
  std::wstring read_failure() const override { return failure(read_error_).reason; }

 private:
  FileHandle file_;
  DWORD read_error_ = 0;
};

class Win32NewFile final : public NewFile {
 public:
  explicit Win32NewFile(HANDLE handle) : file_(handle) {}
  FileResult write(std::string_view bytes) override {
    return write_all(file_.get(), bytes) ? FileResult{} : failure(GetLastError());
  }
  FileResult flush() override {
    return FlushFileBuffers(file_.get()) ? FileResult{} : failure(GetLastError());
  }

 private:
  FileHandle file_;
};

// The file over a handle just opened; nullptr, with the reason, when the open failed.
template <class File>
std::unique_ptr<File> opened(HANDLE handle, FileResult& result) {
  result = handle == INVALID_HANDLE_VALUE ? failure(GetLastError()) : FileResult{};
  return result.ok ? std::make_unique<File>(handle) : nullptr;
}

// Attributes that keep a file from being replaced or removed, or would pass on to a copy.
constexpr DWORD kKeepingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// The attributes of a file (not a directory) that had some of kKeepingAttributes, after
// clearing them; INVALID_FILE_ATTRIBUTES when nothing was changed.
DWORD clear_keeping_attributes(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) ||
      !(attributes & kKeepingAttributes)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  if (!SetFileAttributesW(name.c_str(), attributes & ~kKeepingAttributes)) {
    return INVALID_FILE_ATTRIBUTES;
  }
  return attributes;
}

// True for a file that has no other name (hard link) and is no link itself.
bool has_one_name(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information{};
  return GetFileInformationByHandle(file, &information) && information.nNumberOfLinks == 1 &&
         !(information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

int64_t file_size(const std::wstring& name) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return kFileMissing;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return kFileIsDirectory;
  return (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void write_new_file(const std::wstring& name, std::string_view bytes) {
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  FileHandle file(handle);
  if (file.valid() && has_one_name(file.get()) && SetEndOfFile(file.get())) {
    write_all(file.get(), bytes);
  }
}

bool is_read_only(const std::wstring& name) {
  const DWORD attributes = GetFileAttributesW(name.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         (attributes & FILE_ATTRIBUTE_READONLY);
}

std::unique_ptr<NewFile> NewFile::create(const std::wstring& name, FileResult& result) {
  remove_file(name);
  const HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  return opened<Win32NewFile>(handle, result);
}

FileResult replace_file(const std::wstring& from, const std::wstring& to) {
  // Windows refuses to replace a read-only file: its attributes go first, and come back
  // when the replace fails after all.
  const DWORD earlier_attributes = clear_keeping_attributes(to);
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return {};
  }
  const FileResult result = failure(GetLastError());
  if (earlier_attributes != INVALID_FILE_ATTRIBUTES) {
    SetFileAttributesW(to.c_str(), earlier_attributes);
  }
  return result;
}

void remove_file(const std::wstring& name) {
  clear_keeping_attributes(name);
  DeleteFileW(name.c_str());
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

std::unique_ptr<ReadableFile> ReadableFile::open(const std::wstring& name) {
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32ReadableFile>(handle);
}

std::unique_ptr<ReadableFile> ReadableFile::open_existing(const std::wstring& name,
                                                          FileResult& result) {
  const HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  std::unique_ptr<Win32ReadableFile> file = opened<Win32ReadableFile>(handle, result);
  if (file && !has_one_name(handle)) {
    result = {false, kFileHasOtherNames};
    return nullptr;
  }
  return file;
}

}  // namespace kestrelon
