// Running copies of our programs, found from the image file of every process on the machine.
#include "setup/running_copies_win32.h"

// psapi.dll's own functions: the K32 ones that newer headers map them to came with Windows 7.
#define PSAPI_VERSION 1
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <string_view>

#include "common/unique_handle_win32.h"
#include "setup/folder_paths_win32.h"

namespace kestrelon::setup {
namespace {

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

// The image file of a process; empty when it cannot be opened or read.
std::wstring image_of(DWORD process_id) {
  const UniqueHandle process(
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id));
  if (!process.valid()) return {};
  wchar_t path[MAX_PATH * 2];
  const DWORD length = GetModuleFileNameExW(process.get(), nullptr, path, MAX_PATH * 2);
  if (length == 0 || length >= MAX_PATH * 2) return {};
  return std::wstring(path, length);
}

bool is_one_of(const wchar_t* name, const std::vector<std::wstring_view>& names) {
  return std::any_of(names.begin(), names.end(),
                     [name](std::wstring_view wanted) { return same_name(name, wanted); });
}

}  // namespace

// A process that cannot be opened is not counted. That is safe: only administrators can put a
// program in the folder, so only they can start one from it; and with SeDebugPrivilege, which
// an elevated administrator holds, every process but the system's protected ones opens.
bool program_runs_from(const std::wstring& folder, const std::vector<std::wstring_view>& names) {
  const std::wstring wanted = full_long_path(folder);
  DebugPrivilege debug;
  // Without a list nothing is known to run; a program that does keeps its file from being
  // replaced or removed, and the caller reports that file.
  const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return false;
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
    if (!image.empty() && is_same_or_inside(full_long_path(image), wanted)) return true;
  }
  return false;
}

}  // namespace kestrelon::setup
