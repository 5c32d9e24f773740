// Settings-file services over Win32 file handles; the held folder over the native calls, so
// that every file is named relative to the folder handle and opened as itself.
#include <windows.h>
#include <winternl.h>

#include <climits>

#include "app/file_system.h"
#include "app/file_system_win32.h"
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
  explicit Win32ReadableFile(nt::Handle handle) : file_(std::move(handle)) {}
  int64_t read(char* buffer, uint32_t size) override {
    DWORD count = 0;
    if (ReadFile(file_.get(), buffer, size, &count, nullptr)) return count;
    read_error_ = GetLastError();
    return -1;
  }
  std::wstring read_failure() const override { return failure(read_error_).reason; }

 private:
  nt::Handle file_;
  DWORD read_error_ = 0;
};

class Win32NewFile final : public NewFile {
 public:
  explicit Win32NewFile(nt::Handle handle) : file_(std::move(handle)) {}
  FileResult write(std::string_view bytes) override {
    return write_all(file_.get(), bytes) ? FileResult{} : failure(GetLastError());
  }
  FileResult flush() override {
    return FlushFileBuffers(file_.get()) ? FileResult{} : failure(GetLastError());
  }

 private:
  nt::Handle file_;
};

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
  // Made under the name itself: a link left there (a dangling one) is not followed to make its
  // target with the rights of whoever runs the program.
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  nt::Handle file(handle);
  if (file.valid() && has_one_name(file.get()) && SetEndOfFile(file.get())) {
    write_all(file.get(), bytes);
  }
}

std::unique_ptr<ReadableFile> ReadableFile::open(const std::wstring& name) {
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND) {
    // Made new under the name itself, never through a link (see write_new_file).
    handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) {
    handle = CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  return std::make_unique<Win32ReadableFile>(nt::Handle(handle));
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

namespace {

FileResult native_failure(LONG status) {
  return failure(RtlNtStatusToDosError(status));
}

constexpr LONG kStatusFileIsADirectory = static_cast<LONG>(0xC00000BA);
constexpr LONG kStatusNoSuchFile = static_cast<LONG>(0xC000000F);
constexpr LONG kStatusObjectNameNotFound = static_cast<LONG>(0xC0000034);

// Attributes that keep a file from being replaced or removed, or would pass on to a copy.
constexpr ULONG kKeepingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool is_missing(LONG status) {
  return status == kStatusObjectNameNotFound || status == kStatusNoSuchFile;
}

// A file opened as itself, with what a replace or remove needs to know of it.
struct HeldFile {
  nt::Opened opened;
  ULONG attributes = 0;
  ULONG reparse_tag = 0;
  ULONG links = 0;
};

HeldFile hold(HANDLE folder, const std::wstring& name, ACCESS_MASK access) {
  HeldFile file{nt::open_relative(folder, name, access | FILE_READ_ATTRIBUTES, kShareAll,
                                  nt::Disposition::open_existing, nt::Kind::file)};
  if (!file.opened.handle.valid()) return file;
  LONG status = nt::attributes_and_tag(file.opened.handle.get(), file.attributes, file.reparse_tag);
  if (nt::succeeded(status)) status = nt::link_count(file.opened.handle.get(), file.links);
  if (!nt::succeeded(status)) file.opened = {nt::Handle(), status};
  return file;
}

// Clears what would keep the held file from being replaced or removed; only on a file with one
// name, for another name's file is somebody else's. The attributes to restore come back.
FileResult clear_keeping_attributes(const HeldFile& file, ULONG& earlier) {
  earlier = 0;
  if (!(file.attributes & kKeepingAttributes)) return {};
  if (file.links != 1) return {false, kFileHasOtherNames};
  const LONG status =
      nt::set_attributes(file.opened.handle.get(), file.attributes & ~kKeepingAttributes);
  if (!nt::succeeded(status)) return native_failure(status);
  earlier = file.attributes;
  return {};
}

void restore_attributes(HANDLE folder, const std::wstring& name, ULONG earlier) {
  if (earlier == 0) return;
  const HeldFile file = hold(folder, name, FILE_WRITE_ATTRIBUTES);
  if (file.opened.handle.valid() && file.links == 1) {
    nt::set_attributes(file.opened.handle.get(), earlier);
  }
}

class HeldFolder final : public Folder {
 public:
  HeldFolder(nt::Handle folder, std::wstring shown_path)
      : folder_(std::move(folder)), path_(std::move(shown_path)) {}

  const std::wstring& path() const override { return path_; }

  FileStatus status(const std::wstring& name) override {
    const HeldFile file = hold(folder_.get(), name, 0);
    const LONG status = file.opened.status;
    if (status == kStatusFileIsADirectory) return {FileStatus::Type::folder, 0, false, {}};
    if (is_missing(status)) return {FileStatus::Type::missing, 0, false, {}};
    if (!nt::succeeded(status)) {
      return {FileStatus::Type::error, 0, false, native_failure(status).reason};
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.opened.handle.get(), &size)) {
      return {FileStatus::Type::error, 0, false, failure(GetLastError()).reason};
    }
    return {FileStatus::Type::file,
            size.QuadPart,
            (file.attributes & FILE_ATTRIBUTE_READONLY) != 0,
            {}};
  }

  std::unique_ptr<NewFile> create(const std::wstring& name, FileResult& result) override {
    result = remove(name);
    if (!result.ok) return nullptr;
    nt::Opened file = nt::open_relative(folder_.get(), name, GENERIC_WRITE, 0,
                                        nt::Disposition::create_new, nt::Kind::file);
    if (!file.handle.valid()) {
      result = native_failure(file.status);
      return nullptr;
    }
    return std::make_unique<Win32NewFile>(std::move(file.handle));
  }

  std::unique_ptr<ReadableFile> open_existing(const std::wstring& name,
                                              FileResult& result) override {
    HeldFile file = hold(folder_.get(), name, GENERIC_READ);
    result = {};
    if (!file.opened.handle.valid()) {
      result = native_failure(file.opened.status);
    } else if (nt::is_link(file.attributes, file.reparse_tag)) {
      result = {false, kFileIsLink, true};
    } else if (file.links != 1) {
      result = {false, kFileHasOtherNames};
    }
    return result.ok ? std::make_unique<Win32ReadableFile>(std::move(file.opened.handle)) : nullptr;
  }

  FileResult replace(const std::wstring& from, const std::wstring& to) override {
    const HeldFile source = hold(folder_.get(), from, DELETE);
    if (!source.opened.handle.valid()) return native_failure(source.opened.status);
    // Windows refuses to replace a read-only file: its attributes go first, and come back
    // when the replace fails after all. The target's handle is closed before the rename.
    ULONG earlier = 0;
    {
      const HeldFile target = hold(folder_.get(), to, FILE_WRITE_ATTRIBUTES);
      if (target.opened.handle.valid()) {
        const FileResult cleared = clear_keeping_attributes(target, earlier);
        if (!cleared.ok) return cleared;
      }
    }
    const LONG status = nt::rename_to(source.opened.handle.get(), folder_.get(), to, true);
    if (nt::succeeded(status)) return {};
    restore_attributes(folder_.get(), to, earlier);
    return native_failure(status);
  }

  FileResult remove(const std::wstring& name) override {
    const HeldFile file = hold(folder_.get(), name, DELETE | FILE_WRITE_ATTRIBUTES);
    if (is_missing(file.opened.status)) return {};
    if (!file.opened.handle.valid()) return native_failure(file.opened.status);
    ULONG earlier = 0;
    const FileResult cleared = clear_keeping_attributes(file, earlier);
    if (!cleared.ok) return cleared;
    const LONG status = nt::mark_for_deletion(file.opened.handle.get());
    if (nt::succeeded(status)) return {};  // gone when the handle closes
    if (earlier != 0) nt::set_attributes(file.opened.handle.get(), earlier);
    return native_failure(status);
  }

 private:
  nt::Handle folder_;
  std::wstring path_;
};

}  // namespace

std::unique_ptr<Folder> adopt_folder(nt::Handle folder, std::wstring shown_path) {
  return std::make_unique<HeldFolder>(std::move(folder), std::move(shown_path));
}

std::unique_ptr<Folder> Folder::open(const std::wstring& path, FileResult& result) {
  std::wstring shown_path = full_path(path);
  // Nobody renames or removes the folder while it is held: no delete sharing.
  nt::Opened folder = nt::open_relative(
      nullptr, shown_path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE, nt::Disposition::open_existing, nt::Kind::folder);
  if (!folder.handle.valid()) {
    result = native_failure(folder.status);
    return nullptr;
  }
  ULONG attributes = 0;
  ULONG reparse_tag = 0;
  const LONG status = nt::attributes_and_tag(folder.handle.get(), attributes, reparse_tag);
  if (!nt::succeeded(status)) {
    result = native_failure(status);
    return nullptr;
  }
  if (nt::is_link(attributes, reparse_tag) || nt::listed_as_link(shown_path)) {
    result = {false, kFolderIsLink, true};
    return nullptr;
  }
  result = {};
  return adopt_folder(std::move(folder.handle), std::move(shown_path));
}

std::wstring Folder::shown(const std::wstring& name) const {
  const std::wstring& folder = path();
  if (!folder.empty() && folder.back() == L'\\') return folder + name;
  return folder + L"\\" + name;
}

}  // namespace kestrelon
