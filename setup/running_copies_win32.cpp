// Running copies of our programs, found from the image file of every process on the machine.
#include "setup/running_copies_win32.h"

// psapi.dll's own functions: the K32 ones that newer headers map them to came with Windows 7.
#define PSAPI_VERSION 1
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <string_view>

namespace kestrelon::setup {
namespace {

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~Handle() {
    if (handle_) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  explicit operator bool() const { return handle_ != nullptr; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

// SeDebugPrivilege enabled while it lives, when the token holds it (an elevated administrator
// does), so that processes of other users and sessions can be opened; then as it was.
class DebugPrivilege {
 public:
  DebugPrivilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
      return;
    }
    token_ = token;
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    DWORD size = 0;
    if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &wanted.Privileges[0].Luid) ||
        !AdjustTokenPrivileges(token_, FALSE, &wanted, sizeof(previous_), &previous_, &size) ||
        GetLastError() != ERROR_SUCCESS) {
      previous_.PrivilegeCount = 0;  // not held: nothing was changed
    }
  }
  ~DebugPrivilege() {
    if (!token_) return;
    if (previous_.PrivilegeCount > 0) {
      AdjustTokenPrivileges(token_, FALSE, &previous_, 0, nullptr, nullptr);
    }
    CloseHandle(token_);
  }
  DebugPrivilege(const DebugPrivilege&) = delete;
  DebugPrivilege& operator=(const DebugPrivilege&) = delete;

 private:
  HANDLE token_ = nullptr;
  TOKEN_PRIVILEGES previous_ = {};
};

// A path in one form: long names, upper case as the file system compares names, no final
// backslash. Empty when the system cannot give it.
std::wstring comparable(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  DWORD length = GetLongPathNameW(path.c_str(), full.data(), DWORD(full.size()));
  if (length >= full.size()) {
    full.resize(length);
    length = GetLongPathNameW(path.c_str(), full.data(), DWORD(full.size()));
  }
  // A path that no longer stands on the disk is compared as given.
  if (length == 0 || length >= full.size())
    full = path;
  else
    full.resize(length);
  while (full.size() > 1 && full.back() == L'\\') full.pop_back();
  if (full.empty()) return full;
  std::wstring upper(full.size(), L'\0');
  const int done = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, full.data(), int(full.size()),
                                upper.data(), int(upper.size()));
  return done == int(full.size()) ? upper : std::wstring();
}

// The image file of a process; empty when it cannot be opened or read.
std::wstring image_of(DWORD process_id) {
  Handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (!process) return {};
  wchar_t path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameExW(process.get(), nullptr, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  return std::wstring(path, length);
}

// Whether FILE (comparable) lies in FOLDER (comparable) or below it.
bool lies_in(std::wstring_view file, std::wstring_view folder) {
  return file.size() > folder.size() + 1 && file.substr(0, folder.size()) == folder &&
         file[folder.size()] == L'\\';
}

bool is_one_of(const wchar_t* name, const std::vector<std::wstring_view>& names) {
  for (std::wstring_view wanted : names) {
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name, -1, wanted.data(),
                       int(wanted.size())) == CSTR_EQUAL) {
      return true;
    }
  }
  return false;
}

}  // namespace

// A process that cannot be opened is not counted. That is safe: only administrators can put a
// program in the folder, so only they can start one from it; and with SeDebugPrivilege, which
// an elevated administrator holds, every process but the system's protected ones opens.
bool program_runs_from(const std::wstring& folder, const std::vector<std::wstring_view>& names) {
  const std::wstring wanted = comparable(folder);
  if (wanted.empty()) return false;
  DebugPrivilege debug;
  // Without a list nothing is known to run; a program that does keeps its file from being
  // replaced or removed, and the caller reports that file.
  Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) return false;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self || entry.th32ProcessID == 0 ||
        !is_one_of(entry.szExeFile, names)) {
      continue;
    }
    const std::wstring image = image_of(entry.th32ProcessID);
    if (!image.empty() && lies_in(comparable(image), wanted)) return true;
  }
  return false;
}

}  // namespace kestrelon::setup
