// The native calls behind the folder-relative file services. Each exists in ntdll since
// Windows 2000; what mingw-w64's winternl.h lacks is declared here.
#include "app/nt_file_win32.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>

extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apc_routine,
                                               PVOID apc_context, PIO_STATUS_BLOCK io,
                                               PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS information_class,
                                               BOOLEAN single_entry, PUNICODE_STRING file_name,
                                               BOOLEAN restart_scan);

namespace kestrelon::nt {
namespace {

constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr auto kFileAttributeTagInformation = static_cast<FILE_INFORMATION_CLASS>(35);
constexpr USHORT kLongestName = 0x7FFE / sizeof(wchar_t);
// The attributes a file's owner may set; the rest (folder, reparse point...) are the system's.
constexpr ULONG kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The one place a native status becomes a Win32 error code.
DWORD error_of(NTSTATUS status) {
  return NT_SUCCESS(status) ? ERROR_SUCCESS : RtlNtStatusToDosError(status);
}

// One name in a folder: no separator, no "." or "..", nothing a relative open could climb with.
bool is_one_name(std::wstring_view name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/") == std::wstring_view::npos;
}

// "C:\x" is "\??\C:\x" to the native calls; "\\server\share" is "\??\UNC\server\share".
std::wstring native_path(std::wstring_view path) {
  if (path.substr(0, 4) == L"\\\\?\\") return L"\\??\\" + std::wstring(path.substr(4));
  if (path.substr(0, 2) == L"\\\\") return L"\\??\\UNC\\" + std::wstring(path.substr(2));
  return L"\\??\\" + std::wstring(path);
}

ULONG create_disposition(Disposition disposition) {
  switch (disposition) {
    case Disposition::create_new:
      return FILE_CREATE;
    case Disposition::open_or_create:
      return FILE_OPEN_IF;
    case Disposition::open_existing:
      break;
  }
  return FILE_OPEN;
}

ULONG kind_option(Kind kind) {
  switch (kind) {
    case Kind::file:
      return FILE_NON_DIRECTORY_FILE;
    case Kind::folder:
      return FILE_DIRECTORY_FILE;
    case Kind::either:
      break;
  }
  return 0;
}

bool is_link(ULONG attributes, ULONG reparse_tag) {
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
  // A reparse point always has a tag; one reported without is taken for a link.
  return reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag);
}

}  // namespace

Opened open_relative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share,
                     Disposition disposition, Kind kind, PSECURITY_DESCRIPTOR security,
                     Intent intent) {
  Opened opened;
  std::wstring object_name = folder != nullptr ? std::wstring(name) : native_path(name);
  if ((folder != nullptr && !is_one_name(name)) || object_name.size() > kLongestName) {
    opened.error = ERROR_INVALID_NAME;
    return opened;
  }
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = object_name.data();
  unicode_name.Length = static_cast<USHORT>(object_name.size() * sizeof(wchar_t));
  unicode_name.MaximumLength = unicode_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicode_name, OBJ_CASE_INSENSITIVE, folder, security);
  const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | kind_option(kind) |
                        (intent == Intent::backup ? FILE_OPEN_FOR_BACKUP_INTENT : 0);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                   share, create_disposition(disposition), options, nullptr, 0);
  opened.error = error_of(status);
  if (NT_SUCCESS(status)) {
    opened.handle = UniqueHandle(handle);
    opened.created = io.Information == FILE_CREATED;
  }
  return opened;
}

bool Facts::is_link() const {
  return nt::is_link(attributes, reparse_tag);
}

DWORD query_facts(HANDLE file, Facts& facts) {
  FILE_ATTRIBUTE_TAG_INFORMATION tagged{};
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK io{};
  NTSTATUS status =
      NtQueryInformationFile(file, &io, &tagged, sizeof tagged, kFileAttributeTagInformation);
  if (NT_SUCCESS(status)) {
    status = NtQueryInformationFile(file, &io, &standard, sizeof standard, FileStandardInformation);
  }
  facts = {tagged.FileAttributes, tagged.ReparseTag, standard.NumberOfLinks,
           standard.EndOfFile.QuadPart};
  return error_of(status);
}

bool listed_as_link(const std::wstring& path) {
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(path.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return is_link(found.dwFileAttributes, found.dwReserved0);
}

DWORD rename_to(HANDLE file, HANDLE folder, std::wstring_view name, bool replace_existing) {
  if (!is_one_name(name) || name.size() > kLongestName) return ERROR_INVALID_NAME;
  // The structure ends in the name itself, as long as it needs to be.
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name_bytes +
                                    sizeof(wchar_t));
  auto* information = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  information->ReplaceIfExists = replace_existing ? TRUE : FALSE;
  information->RootDirectory = folder;
  information->FileNameLength = static_cast<ULONG>(name_bytes);
  std::memcpy(information->FileName, name.data(), name_bytes);
  IO_STATUS_BLOCK io{};
  return error_of(NtSetInformationFile(file, &io, information, static_cast<ULONG>(buffer.size()),
                                       FileRenameInformation));
}

DWORD mark_for_deletion(HANDLE file, bool deleted) {
  FILE_DISPOSITION_INFORMATION information{static_cast<BOOLEAN>(deleted)};
  IO_STATUS_BLOCK io{};
  return error_of(NtSetInformationFile(file, &io, &information, sizeof information,
                                       FileDispositionInformation));
}

DWORD set_attributes(HANDLE file, ULONG attributes) {
  FILE_BASIC_INFORMATION information{};  // times of zero stay as they are
  information.FileAttributes = attributes & kSettableAttributes;
  // Zero would mean "unchanged": none at all is said as "normal".
  if (information.FileAttributes == 0) information.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  IO_STATUS_BLOCK io{};
  return error_of(
      NtSetInformationFile(file, &io, &information, sizeof information, FileBasicInformation));
}

DWORD list_names(HANDLE folder, std::vector<std::wstring>& names) {
  names.clear();
  // ULONGs, so that every entry the system writes is aligned.
  std::vector<ULONG> buffer(16384 / sizeof(ULONG));
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                             static_cast<ULONG>(buffer.size() * sizeof(ULONG)),
                             FileNamesInformation, FALSE, nullptr, restart);
    if (status == kStatusNoMoreFiles) return ERROR_SUCCESS;
    if (!NT_SUCCESS(status)) return error_of(status);
    if (io.Information == 0) return ERROR_INVALID_PARAMETER;
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (size_t at = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_NAMES_INFORMATION*>(bytes + at);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") names.push_back(std::move(name));
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

}  // namespace kestrelon::nt
